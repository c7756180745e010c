// Small GTK CSS rules built in code, one rule per widget.
//
// No style sheet ships with the program: each window builds the rules for its
// own widgets when it is built, when the theme changes and when its size step
// changes. A rule is a PiCSSItem of one CSS node kind ("box", "button" ...)
// with an optional pseudo-class and a list of declarations appended by
// chainable setters; compound values (shadow, radial gradient, rotation
// keyframes) are PiCSSObjects. toCss() gives the rule text, applyCss()
// attaches a text to one widget's style context at GTK's user priority.
//
// Items and objects are short-lived values made on the stack. Everything here
// runs on the GTK main thread. toCss() and the text helpers never fail;
// applyCss() returns false, leaving the widget as it was, when the text could
// not be attached.
//
// A widget restyled with a text it has carried before gets that rule back on
// top instead of a further provider, so restyling on every theme change keeps
// a bounded number of providers per widget and the last rule applied wins.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace Gtk {
class Widget;
}

// GTK's user priority: above the theme and the settings.
#define PI_CSS_PRIORITY 800

enum PiCSSPropertyType {
    PI_CSS_COLOR = 0,
    PI_CSS_BACKGROUND = 1,
    PI_CSS_BACKGROUND_COLOR = 2,
    PI_CSS_BACKGROUND_IMAGE = 3,
    PI_CSS_MIN_WIDTH = 4,
    PI_CSS_MIN_HEIGHT = 5,
    PI_CSS_BORDER = 6,
    PI_CSS_BORDER_RADIUS = 7,
    PI_CSS_BORDER_WIDTH = 8,
    PI_CSS_BORDER_IMAGE = 9,
    PI_CSS_FONT_SIZE = 10,
    PI_CSS_FONT_STYLE = 11,
    PI_CSS_FONT_WEIGHT = 12,
    PI_CSS_BOX_SHADOW = 13,
    PI_CSS_TEXT_SHADOW = 14,
    PI_CSS_RAW = 15,  // no name: the value goes in front of the rule
    PI_CSS_ANIMATION_NAME = 16,
    PI_CSS_ANIMATION_DURATION = 17,
    PI_CSS_ANIMATION_TIMING_FUNCTION = 18,
    PI_CSS_ANIMATION_ITERATION_COUNT = 19,
};

// One declaration, its value already in CSS form.
struct PiCSSProperty {
    int type = PI_CSS_RAW;
    std::string value;

    // The property text of a code; empty for PI_CSS_RAW and unknown codes.
    static std::string name(int type);
};

// A compound value. A plain object stands for "none".
class PiCSSObject {
public:
    virtual ~PiCSSObject() = default;

    // 0xRRGGBB as at least six lower-case hexadecimal digits, no '#'.
    static std::string toHex(unsigned rgb);

    std::string name = "unnamed";
    std::string value = "none";
};

class PiCSSObjectShadow : public PiCSSObject {
public:
    // 1px 1px #rrggbb
    void setColor(unsigned rgb);
};

class PiCSSObjectRadialGradient : public PiCSSObject {
public:
    // radial-gradient(circle at center, #inner, #outer 100%)
    void setColors(unsigned inner, unsigned outer);
};

// One full turn of an icon; `name` is the animation name the rule refers to.
class PiCSSObjectAnimationRotate : public PiCSSObject {
public:
    explicit PiCSSObjectAnimationRotate(const std::string &animationName);
    // value = the @keyframes block of the animation.
    void makeKeyframes();
};

class PiCSSItem {
public:
    virtual ~PiCSSItem() = default;

    // The CSS node name of the kind: "box", "button" ...
    virtual std::string node() const = 0;
    // The pseudo-class ("hover", "hover:active"); empty for none.
    virtual std::string state() const { return pseudoClass; }

    PiCSSItem &color(unsigned rgb);
    PiCSSItem &background(unsigned rgb);
    PiCSSItem &backgroundColor(unsigned rgb);
    // Components 0.0 to 1.0; values outside are taken as the nearest bound.
    PiCSSItem &backgroundColorRgba(float r, float g, float b, float a);
    PiCSSItem &backgroundImage(const PiCSSObject &object);
    PiCSSItem &minWidth(unsigned px);
    PiCSSItem &minHeight(unsigned px);
    PiCSSItem &border(unsigned px);
    PiCSSItem &borderRadius(unsigned px);
    PiCSSItem &borderWidth(unsigned px);
    PiCSSItem &borderImage(const PiCSSObject &object);
    PiCSSItem &fontSize(unsigned px);
    PiCSSItem &fontWeight(unsigned weight);
    PiCSSItem &fontBold();
    PiCSSItem &boxShadow(const PiCSSObject &object);
    // The keyframes in front of the rule, then name, 1s, linear, infinite.
    PiCSSItem &animation(const PiCSSObjectAnimationRotate &rotate);

    // [raw values + ' '] node[:state] { name: value; ... }
    std::string toCss() const;

    // Attaches the text to the widget at PI_CSS_PRIORITY and, when cssClass
    // is not empty, adds that style class. False when the widget has no
    // style context or GTK refused the text.
    static bool applyCss(Gtk::Widget &widget, const std::string &css, const std::string &cssClass);
    bool apply(Gtk::Widget &widget) const;

    std::vector<PiCSSProperty> properties;  // in the order the setters ran
    std::string pseudoClass;

protected:
    PiCSSItem() = default;
    explicit PiCSSItem(std::string pseudo) : pseudoClass(std::move(pseudo)) {}

private:
    PiCSSItem &add(int type, std::string value);
};

class PiCSSBox : public PiCSSItem {
public:
    std::string node() const override { return "box"; }
};

class PiCSSGrid : public PiCSSItem {
public:
    std::string node() const override { return "grid"; }
};

class PiCSSViewport : public PiCSSItem {
public:
    std::string node() const override { return "viewport"; }
};

class PiCSSLabel : public PiCSSItem {
public:
    std::string node() const override { return "label"; }
};

class PiCSSButton : public PiCSSItem {
public:
    PiCSSButton() = default;
    explicit PiCSSButton(const std::string &pseudo) : PiCSSItem(pseudo) {}
    std::string node() const override { return "button"; }
};

class PiCSSImage : public PiCSSItem {
public:
    std::string node() const override { return "image"; }
};

class PiCSSSeparator : public PiCSSItem {
public:
    std::string node() const override { return "separator"; }
};

class PiCSSExpander : public PiCSSItem {
public:
    std::string node() const override { return "expander"; }
};

class PiCSSWindow : public PiCSSItem {
public:
    std::string node() const override { return "window"; }
};
