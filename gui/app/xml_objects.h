// Typed setting values: the in-memory form of every value the settings files
// keep, each with its text form, the parse of that text and a raw-byte view.
//
// A value object is made with std::make_shared and handed around as
// std::shared_ptr<PkXMLObject>; a settings object, a codec container and a
// window may share one, so a fromString through any holder is seen by all.
// Value objects have no lock: the GTK main thread reads and changes them.
// data() of PkXMLUUIDObject, PkXMLDimensionObject and PkXMLResolutionObject
// returns a per-class, per-thread buffer holding the text form, valid until
// the next data() call on an object of the same class on that thread.
//
// toString, data and size never fail. fromString never fails either, except
// PkXMLNumberObject::fromString, which throws std::invalid_argument ("invalid
// stoll argument") or std::out_of_range ("stoll argument out of range") and
// then leaves the held value as it was. Text that does not fit any other
// class gives that class's fallback: false, the default choice, the all-zero
// format or mode, or zero bytes, as stated at each class.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "services/buffer.h"
#include "services/display.h"
#include "services/utils.h"

class PkXMLObject {
public:
    virtual ~PkXMLObject() = default;
    // The text written into a settings file; empty text is left out of it.
    virtual std::string toString() const = 0;
    virtual const uint8_t *data() const = 0;
    virtual int64_t size() const = 0;
    virtual void fromString(const std::string &text) = 0;
};

// "YES" / "NO"; only the exact text "YES" reads as true.
class PkXMLBooleanObject : public PkXMLObject {
public:
    explicit PkXMLBooleanObject(bool v = false) : value(v) {}
    std::string toString() const override;
    const uint8_t *data() const override;
    int64_t size() const override { return 1; }
    void fromString(const std::string &text) override;

    bool value;
};

// Signed 64-bit decimal. data() is the integer's eight bytes in host order.
class PkXMLNumberObject : public PkXMLObject {
public:
    explicit PkXMLNumberObject(int64_t v = 0) : value(v) {}
    std::string toString() const override;
    const uint8_t *data() const override { return reinterpret_cast<const uint8_t *>(&value); }
    int64_t size() const override { return sizeof(value); }
    // Leading white space and a sign are allowed, trailing characters are
    // ignored ("42abc" is 42). Throws as the header says.
    void fromString(const std::string &text) override;

    int64_t value;
};

// UTF-8 text, stored and written unchanged.
class PkXMLStringObject : public PkXMLObject {
public:
    explicit PkXMLStringObject(std::string v = std::string()) : value(std::move(v)) {}
    std::string toString() const override { return value; }
    const uint8_t *data() const override { return reinterpret_cast<const uint8_t *>(value.data()); }
    int64_t size() const override { return static_cast<int64_t>(value.size()); }
    void fromString(const std::string &text) override { value = text; }

    std::string value;
};

// 32 raw bytes written as 64 upper-case hexadecimal digits. Engine ids are
// 32 ASCII characters, so the file shows the digits of their character codes.
class PkXMLUUIDObject : public PkXMLObject {
public:
    explicit PkXMLUUIDObject(const uint8_t (&bytes)[PK_XID_SIZE]) : value(bytes) {}
    explicit PkXMLUUIDObject(const PkXID &id) : value(id) {}
    std::string toString() const override;
    const uint8_t *data() const override;  // the text form, 64 characters
    int64_t size() const override { return 2 * PK_XID_SIZE; }
    // The first 64 characters as hexadecimal digits, two per byte; a
    // non-digit counts as 0, a lone last digit lands in the low half of its
    // byte, missing digits leave zero bytes.
    void fromString(const std::string &text) override;

    PkXID value;
};

// An audio format as "S16LE@48000:2"; the all-zero format writes "".
class PkXMLDimensionObject : public PkXMLObject {
public:
    explicit PkXMLDimensionObject(const PkAudioFormat &v = PkAudioFormat{}) : value(v) {}
    std::string toString() const override;
    const uint8_t *data() const override;  // the text form
    int64_t size() const override { return static_cast<int64_t>(toString().size()); }
    // Text that does not describe a complete format gives the all-zero one.
    void fromString(const std::string &text) override;

    PkAudioFormat value;
};

// A video mode as "1920x1080@60 Hz"; the rate part is always written, so the
// all-zero mode writes "0x0@0 Hz".
class PkXMLResolutionObject : public PkXMLObject {
public:
    explicit PkXMLResolutionObject(const PkVideoMode &v = PkVideoMode{}) : value(v) {}
    std::string toString() const override;
    const uint8_t *data() const override;  // the text form
    int64_t size() const override { return static_cast<int64_t>(toString().size()); }
    // Text without all four numbers complete ("1920x1080", "1920x1080@60")
    // gives the all-zero mode.
    void fromString(const std::string &text) override;

    PkVideoMode value;
};

// The three choice values: the text is one of a fixed list, compared exactly
// (case and length); any other text stores the class's default. A new
// object holds the empty text until its creator sets it.
class PkXMLResolutionProfileObject : public PkXMLObject {
public:
    std::string toString() const override { return value; }
    const uint8_t *data() const override { return reinterpret_cast<const uint8_t *>(value.data()); }
    int64_t size() const override { return static_cast<int64_t>(value.size()); }
    void fromString(const std::string &text) override;
    // "automatic", "maximum", "super", "high", "medium", "classic", "low".
    static std::vector<std::string> values();

    std::string value;
};

class PkXMLBitratePolicyObject : public PkXMLObject {
public:
    std::string toString() const override { return value; }
    const uint8_t *data() const override { return reinterpret_cast<const uint8_t *>(value.data()); }
    int64_t size() const override { return static_cast<int64_t>(value.size()); }
    void fromString(const std::string &text) override;
    // "adaptive", "constant".
    static std::vector<std::string> values();
    // Position of the default in values().
    static int defaultIndex();

    std::string value;
};

// A playback delay in milliseconds.
class PkXMLPlaybackObject : public PkXMLObject {
public:
    std::string toString() const override { return value; }
    const uint8_t *data() const override { return reinterpret_cast<const uint8_t *>(value.data()); }
    int64_t size() const override { return static_cast<int64_t>(value.size()); }
    void fromString(const std::string &text) override;
    // "0", "250", "500", "1000", "1500", "2000", "2500", "3000".
    static std::vector<std::string> values();
    static int defaultIndex();

    std::string value;
};

// Bytes written as Base64 (RFC 4648, "=" padding, no line breaks).
class PkXMLDataObject : public PkXMLObject {
public:
    explicit PkXMLDataObject(std::vector<uint8_t> v = {}) : value(std::move(v)) {}
    std::string toString() const override;
    const uint8_t *data() const override { return value.empty() ? nullptr : value.data(); }
    int64_t size() const override { return static_cast<int64_t>(value.size()); }
    // Empty text changes nothing; otherwise the lenient Base64 decoding of
    // the text replaces the bytes (the bytes stay when memory is short).
    void fromString(const std::string &text) override;
    std::vector<uint8_t> bytes() const { return value; }

    std::vector<uint8_t> value;
};
