// The base classes every window and dialog of the interface derives from.
//
// PiGtkBaseWindow is the plain part through which the application's window
// list identifies and links windows: a 32-byte window id (all zero: no
// particular window), the transient parent the window keeps alive, and the
// widgets (help popovers) whose lifetime the window holds while it is shown.
// PiGtkWindow<W> puts it in front of a gtkmm window class W (Gtk::Window,
// Gtk::ApplicationWindow, Gtk::Dialog): its virtual run() is the uniform
// start (show all, 0), every show centres the window on the primary monitor
// and, while the interface is dark, asks for a dark title bar; every hide
// releases the children. PiGtkDialog's run() is the modal run, followed by
// hide and close, and answers the response id (GTK's OK, -5, is the
// positive answer). VeltranaWindow and VeltranaDialog add the application
// icon; a VeltranaDialog is destroyed together with its transient parent.
//
// No class here overrides a gtkmm virtual function: the behaviour hangs on
// signal handlers connected in the constructors. Windows are constructed
// only by the window factory (factory.h), over the GTK object a
// Gtk::Builder made, and owned through std::shared_ptr; a concrete window
// class also derives from std::enable_shared_from_this of itself.
//
// Threads: the GTK main thread only. Nothing here throws; a missing icon
// leaves the window without an icon of its own.
#pragma once

#include <gdkmm/pixbuf.h>
#include <glibmm/refptr.h>
#include <gtkmm/applicationwindow.h>
#include <gtkmm/dialog.h>
#include <gtkmm/window.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#define PI_WINDOW_ID_SIZE 32

// The program's PNG resource every window carries as its icon.
#define PI_WINDOW_ICON_PNG 185

// The program's PNG resources belong to the application shell, above the
// toolkit. The shell hands its resource loader (loadPngResource) to
// setPngLoader once at start-up, before the first window is built; until
// then, and in programs that set none, windows carry no icon of their own.
class PiWindowIcon {
public:
    using PngLoader = std::function<std::vector<uint8_t>(uint32_t id)>;

    static void setPngLoader(PngLoader loader);
    // The bytes of the PNG resource; empty without a loader or a resource.
    static std::vector<uint8_t> png(uint32_t id);
    // PNG resource PI_WINDOW_ICON_PNG decoded; empty when it is missing or
    // does not decode.
    static Glib::RefPtr<Gdk::Pixbuf> picture();
};

// True when the 32 bytes are all zero; a null pointer counts as the zero id.
bool pi_window_id_is_zero(const uint8_t *id);

class PiGtkBaseWindow {
public:
    PiGtkBaseWindow();
    PiGtkBaseWindow(const PiGtkBaseWindow &) = delete;
    PiGtkBaseWindow &operator=(const PiGtkBaseWindow &) = delete;
    // Releases the parent first, then the children.
    virtual ~PiGtkBaseWindow();

    // Holds the parent (the window this one is transient for), releasing
    // the one held before.
    virtual void setParent(std::shared_ptr<Gtk::Window> newParent);
    virtual void resetParent();
    // Duplicates are kept.
    virtual void addChild(std::shared_ptr<Gtk::Widget> child);
    // Removes the first entry that is the same object; nothing when none.
    virtual void removeChild(std::shared_ptr<Gtk::Widget> child);
    // Runs on every hide.
    virtual void clearChildren();

    uint8_t id[PI_WINDOW_ID_SIZE];
    std::shared_ptr<Gtk::Window> parent;
    std::vector<std::shared_ptr<Gtk::Widget>> children;
};

// The position that centres a size on a monitor, per axis: (monitor -
// size) / 2 rounded toward zero, so a window larger than the monitor gets a
// negative offset; the monitor's own origin is added.
int pi_window_centre_offset(int monitorOrigin, int monitorSize, int windowSize);

// The show handler of every window: see PiGtkWindow::onShowCentre.
void pi_window_centre_on_show(Gtk::Window &window);

template <class W, class G = typename W::BaseObjectType>
class PiGtkWindow : public PiGtkBaseWindow, public W {
public:
    // The base the window factory starts a window of this family through.
    using PiWindowBase = PiGtkWindow<W, G>;

    explicit PiGtkWindow(G *cobject) : PiGtkBaseWindow(), W(cobject)
    {
        this->signal_show().connect(sigc::mem_fun(*this, &PiGtkWindow::onShowCentre), true);
        this->signal_hide().connect(sigc::mem_fun(*this, &PiGtkWindow::releaseChildrenOnHide), true);
    }

    // Shows the window and all it holds; 0. A window whose start can fail
    // overrides it and answers non-zero on failure.
    virtual int run()
    {
        this->show_all();
        return 0;
    }

    // On every show: dark title bar while the interface is dark, then the
    // window centred on the primary monitor at its current size.
    void onShowCentre() { pi_window_centre_on_show(*this); }

private:
    void releaseChildrenOnHide() { this->clearChildren(); }
};

class PiGtkDialog : public PiGtkWindow<Gtk::Dialog> {
public:
    explicit PiGtkDialog(GtkDialog *cobject) : PiGtkWindow<Gtk::Dialog>(cobject) {}

    // The modal run, then hide and close; the response id of the run.
    int run() override;
};

template <class W, class G = typename W::BaseObjectType>
class VeltranaWindow : public PiGtkWindow<W, G> {
public:
    explicit VeltranaWindow(G *cobject) : PiGtkWindow<W, G>(cobject)
    {
        const Glib::RefPtr<Gdk::Pixbuf> icon = PiWindowIcon::picture();
        if (icon) this->set_icon(icon);
    }
};

class VeltranaDialog : public PiGtkDialog {
public:
    explicit VeltranaDialog(GtkDialog *cobject);
};
