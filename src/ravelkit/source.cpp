#include "ravelkit/source.h"

#include <gst/gst.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "ravelkit/devices.h"
#include "ravelkit/elements.h"
#include "ravelkit/property.h"

namespace {

constexpr uint32_t UNSET32 = 0xFFFFFFFFu;

bool usable(uint32_t v) { return v != 0 && v != UNSET32; }

// Grows a malloc'd array to hold one more item. false when memory runs out.
template <class T>
bool grow(T **items, uint64_t count, uint64_t *capacity)
{
    if (count < *capacity) return true;
    uint64_t next = *capacity ? *capacity * 2 : 8;
    void *p = realloc(*items, next * sizeof(T));
    if (p == nullptr) return false;
    *items = static_cast<T *>(p);
    *capacity = next;
    return true;
}

int copy_text(const char *text, char *out, uint64_t size)
{
    if (out == nullptr || size == 0) return -1;
    snprintf(out, size, "%s", text);
    return 0;
}

void free_modes(RavkSourceDescriptor *d)
{
    for (uint64_t i = 0; i < d->mode_count; i++) free(d->modes[i].data);
    d->mode_count = 0;
}

void free_blob(RavkSourceBlob **blob)
{
    if (*blob == nullptr) return;
    free((*blob)->data);
    free(*blob);
    *blob = nullptr;
}

// ---- slots ----

int get_device(RavkSourceDescriptor *d, void **out)
{
    if (d == nullptr || out == nullptr) return -1;
    *out = d->device;
    return 0;
}

int get_audio_backend(RavkSourceDescriptor *d, int32_t *out)
{
    if (d == nullptr || out == nullptr) return -1;
    *out = d->audio_backend;
    return 0;
}

int get_video_backend(RavkSourceDescriptor *d, int32_t *out)
{
    if (d == nullptr || out == nullptr) return -1;
    *out = d->video_backend;
    return 0;
}

void free_properties(RavkSourceDescriptor *d)
{
    for (uint64_t i = 0; i < d->property_count; i++) ravk_property_free(d->properties[i]);
    free(d->properties);
    d->properties = nullptr;
    d->property_count = 0;
    d->property_capacity = 0;
}

int clear_properties(RavkSourceDescriptor *d)
{
    if (d == nullptr) return -1;
    free_properties(d);
    d->properties = static_cast<RavkProperty **>(calloc(8, sizeof(RavkProperty *)));
    if (d->properties == nullptr) return -1;
    d->property_capacity = 8;
    return 0;
}

int add_property(RavkSourceDescriptor *d, RavkProperty *property)
{
    if (d == nullptr || property == nullptr || d->properties == nullptr) return -1;
    if (!grow(&d->properties, d->property_count, &d->property_capacity)) return -1;
    // A later record of the same name replaces the earlier one.
    for (uint64_t i = 0; i < d->property_count; i++) {
        if (strcmp(d->properties[i]->name, property->name) == 0) {
            ravk_property_free(d->properties[i]);
            memmove(&d->properties[i], &d->properties[i + 1], (d->property_count - i - 1) * sizeof(RavkProperty *));
            d->property_count--;
            break;
        }
    }
    d->properties[d->property_count++] = property;
    return 0;
}

int get_name(RavkSourceDescriptor *d, CoreBuffer *out)
{
    if (d == nullptr || out == nullptr) return -1;
    core_buffer_copy(out, &d->name);
    return 0;
}

int set_name(RavkSourceDescriptor *d, const CoreBuffer *name)
{
    if (d == nullptr || name == nullptr) return -1;
    core_buffer_free(&d->name);
    if (name->data == nullptr || name->capacity == 0) return 0;
    if (core_buffer_alloc(&d->name, name->capacity) == nullptr) return -1;
    core_buffer_copy(&d->name, name);
    return 0;
}

int get_id(RavkSourceDescriptor *d, CoreName *out)
{
    if (d == nullptr || out == nullptr) return -1;
    *out = d->id;
    return 0;
}

int set_id(RavkSourceDescriptor *d, const CoreName *id)
{
    if (d == nullptr || id == nullptr) return -1;
    d->id = *id;
    core_name_make(&d->id);
    return 0;
}

int get_caps(RavkSourceDescriptor *d, char *out, uint64_t size)
{
    if (d == nullptr) return -1;
    return copy_text(d->caps, out, size);
}

int set_factory(RavkSourceDescriptor *d, const char *factory)
{
    if (d == nullptr || factory == nullptr) return -1;
    snprintf(d->factory, sizeof(d->factory), "%s", factory);
    return 0;
}

int get_factory(RavkSourceDescriptor *d, char *out, uint64_t size)
{
    if (d == nullptr) return -1;
    return copy_text(d->factory, out, size);
}

int get_role(RavkSourceDescriptor *d, char *out, uint64_t size)
{
    if (d == nullptr) return -1;
    return copy_text(d->role, out, size);
}

int property_count(RavkSourceDescriptor *d, uint64_t *out)
{
    if (d == nullptr || out == nullptr) return -1;
    *out = d->properties ? d->property_count : 0;
    return 0;
}

int property_at(RavkSourceDescriptor *d, int32_t index, RavkProperty **out)
{
    if (out != nullptr) *out = nullptr;
    if (d == nullptr || out == nullptr || d->properties == nullptr) return -1;
    if (index < 0 || static_cast<uint64_t>(index) >= d->property_count) return -1;
    *out = d->properties[index];
    return 0;
}

int find_property(RavkSourceDescriptor *d, const char *name, RavkProperty **out)
{
    if (out != nullptr) *out = nullptr;
    if (d == nullptr || name == nullptr || d->properties == nullptr) return -1;
    for (uint64_t i = 0; i < d->property_count; i++) {
        if (strcmp(d->properties[i]->name, name) == 0) {
            if (out != nullptr) *out = d->properties[i];
            return 1;
        }
    }
    return 0;
}

#define RAVK_SOURCE_GETTER(slot, type, field)              \
    int slot(RavkSourceDescriptor *d, type *out)           \
    {                                                      \
        if (d == nullptr || out == nullptr) return -1;     \
        *out = d->field;                                   \
        return 0;                                          \
    }

RAVK_SOURCE_GETTER(get_media, uint32_t, media)
RAVK_SOURCE_GETTER(get_class, uint32_t, device_class)
RAVK_SOURCE_GETTER(get_codec, uint32_t, codec)
RAVK_SOURCE_GETTER(get_node_type, int32_t, node_type)
RAVK_SOURCE_GETTER(get_reserved, int32_t, reserved)
RAVK_SOURCE_GETTER(is_default, int32_t, is_default)
RAVK_SOURCE_GETTER(is_loopback, int32_t, loopback)
RAVK_SOURCE_GETTER(get_fourcc, uint32_t, fourcc)

#undef RAVK_SOURCE_GETTER

int has_class(RavkSourceDescriptor *d, uint32_t bits, int32_t *out)
{
    if (d == nullptr || out == nullptr) return -1;
    *out = (d->device_class & bits) != 0 ? 1 : 0;
    return 0;
}

int set_caps_v(RavkSourceDescriptor *d, const char *format, va_list args)
{
    if (d == nullptr || format == nullptr) return -1;
    vsnprintf(d->caps, sizeof(d->caps), format, args);
    return 0;
}

int set_caps_fmt(RavkSourceDescriptor *d, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    int result = set_caps_v(d, format, args);
    va_end(args);
    return result;
}

int set_caps(RavkSourceDescriptor *d, const char *text) { return set_caps_fmt(d, "%s", text ? text : ""); }

int append_caps_v(RavkSourceDescriptor *d, const char *format, va_list args)
{
    if (d == nullptr || format == nullptr) return -1;
    size_t used = strnlen(d->caps, sizeof(d->caps) - 1);
    if (used > 0) {
        snprintf(d->caps + used, sizeof(d->caps) - used, ", ");
        used = strnlen(d->caps, sizeof(d->caps) - 1);
    }
    vsnprintf(d->caps + used, sizeof(d->caps) - used, format, args);
    return 0;
}

int append_caps_fmt(RavkSourceDescriptor *d, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    int result = append_caps_v(d, format, args);
    va_end(args);
    return result;
}

int append_caps(RavkSourceDescriptor *d, const char *text) { return append_caps_fmt(d, "%s", text ? text : ""); }

int set_fourcc(RavkSourceDescriptor *d, uint32_t fourcc)
{
    if (d == nullptr) return -1;
    d->fourcc = fourcc;
    return 0;
}

int get_extra(RavkSourceDescriptor *d, uint64_t *out)
{
    if (d == nullptr || out == nullptr) return -1;
    *out = 0;
    return 0;
}

int check(RavkSourceDescriptor *d) { return d != nullptr ? 0 : -1; }

int unsupported(RavkSourceDescriptor *, ...) { return -1; }

RavkSourceAttribute *find_attribute(RavkSourceDescriptor *d, uint32_t id)
{
    for (uint64_t i = 0; i < d->attribute_count; i++)
        if (d->attributes[i].id == id) return &d->attributes[i];
    return nullptr;
}

int get_attribute(RavkSourceDescriptor *d, uint32_t id, void *out, uint64_t capacity)
{
    if (d == nullptr || out == nullptr || d->attributes == nullptr) return -1;
    const RavkSourceAttribute *a = find_attribute(d, id);
    if (a == nullptr) return -1;
    if (a->data == nullptr) return 0;
    if (a->length > capacity) return -1;
    memcpy(out, a->data, a->length);
    return 0;
}

int set_attribute(RavkSourceDescriptor *d, uint32_t id, const void *data, uint64_t length)
{
    if (d == nullptr || d->attributes == nullptr) return -1;
    uint8_t *copy = nullptr;
    if (data != nullptr && length != 0) {
        copy = static_cast<uint8_t *>(malloc(length));
        if (copy == nullptr) return -1;
        memcpy(copy, data, length);
    }
    RavkSourceAttribute *a = find_attribute(d, id);
    if (a == nullptr) {
        if (!grow(&d->attributes, d->attribute_count, &d->attribute_capacity)) {
            free(copy);
            return -1;
        }
        a = &d->attributes[d->attribute_count++];
        a->id = id;
        a->data = nullptr;
    }
    free(a->data);
    a->data = copy;
    a->length = length;
    // The rebuilds read the value only when it is whole.
    if (id == RAVK_ATTR_VIDEO_MODE && copy != nullptr && length >= sizeof(CoreVideoMode)) {
        CoreVideoMode mode;
        memcpy(&mode, copy, sizeof(mode));
        ravk_source_desc_build_video_modes(d, &mode);
    } else if (id == RAVK_ATTR_AUDIO_FORMAT && copy != nullptr && length >= sizeof(RavkAudioFormat)) {
        RavkAudioFormat format;
        memcpy(&format, copy, sizeof(format));
        ravk_source_desc_build_audio_modes(d, &format);
    }
    return 0;
}

int mode_count(RavkSourceDescriptor *d, uint64_t *out)
{
    if (d == nullptr || out == nullptr || d->modes == nullptr) return -1;
    *out = d->mode_count;
    return 0;
}

int mode_at(RavkSourceDescriptor *d, int32_t index, void *out, uint64_t capacity, uint64_t *length)
{
    if (length != nullptr) *length = 0;
    if (d == nullptr || out == nullptr || length == nullptr || d->modes == nullptr) return -1;
    if (index < 0 || static_cast<uint64_t>(index) >= d->mode_count) return -1;
    const RavkSourceBlob &m = d->modes[index];
    if (m.length > capacity) return -1;
    memcpy(out, m.data, m.length);
    *length = m.length;
    return 0;
}

int get_mode_index(RavkSourceDescriptor *d, int32_t *out)
{
    if (d == nullptr || out == nullptr) return -1;
    if (d->modes == nullptr) {
        *out = -1;
        return -1;
    }
    *out = d->mode_index;
    return 0;
}

int get_selection(RavkSourceDescriptor *d, void *out, uint64_t capacity)
{
    if (d == nullptr || out == nullptr || d->selection == nullptr) return -1;
    if (d->selection->length > capacity) return -1;
    if (d->selection->length) memcpy(out, d->selection->data, d->selection->length);
    return 0;
}

int set_mode_index(RavkSourceDescriptor *d, int32_t index)
{
    if (d == nullptr || d->modes == nullptr) return -1;
    // Below -1 is no index at all; readers would take it for an entry.
    if (index < -1 || (index >= 0 && static_cast<uint64_t>(index) >= d->mode_count)) return -1;
    d->mode_index = index;
    return 0;
}

int set_selection(RavkSourceDescriptor *d, const void *data, uint64_t length)
{
    if (d == nullptr) return -1;
    auto *blob = static_cast<RavkSourceBlob *>(calloc(1, sizeof(RavkSourceBlob)));
    if (blob == nullptr) return -1;
    if (data != nullptr && length != 0) {
        blob->data = static_cast<uint8_t *>(malloc(length));
        if (blob->data == nullptr) {
            free(blob);
            return -1;
        }
        memcpy(blob->data, data, length);
        blob->length = length;
    }
    free_blob(&d->selection);
    d->selection = blob;
    return 0;
}

int append_mode(RavkSourceDescriptor *d, const void *bytes, uint64_t length)
{
    if (!grow(&d->modes, d->mode_count, &d->mode_capacity)) return -1;
    auto *copy = static_cast<uint8_t *>(malloc(length));
    if (copy == nullptr) return -1;
    memcpy(copy, bytes, length);
    d->modes[d->mode_count++] = RavkSourceBlob{copy, length};
    return 0;
}

// The standard sizes of screens and cameras, largest first.
constexpr RavkSourceSize STANDARD_SIZES[] = {
    {4096, 2160}, {3840, 2160}, {3360, 1890}, {2560, 1440}, {2048, 1152}, {1920, 1080},
    {1600, 900},  {1280, 720},  {1024, 576},  {960, 540},   {800, 450},   {768, 432},
    {640, 360},   {512, 288},   {384, 216},   {320, 180},   {256, 144},
};
constexpr uint64_t STANDARD_COUNT = sizeof(STANDARD_SIZES) / sizeof(STANDARD_SIZES[0]);

// Small sizes of app-fed sources, largest first; the first that leaves 640
// pixels of width to the full size is taken.
constexpr RavkSourceSize SMALL_SIZES[] = {{768, 432}, {640, 360}, {512, 288}, {384, 216}, {320, 180}, {256, 144}};

// Five steps from the full size down to the small size, then the small size.
// Signed 64-bit: an app-fed source may be narrower or lower than 256x144.
void virtual_sizes(RavkSourceSize out[6], uint32_t w, uint32_t h)
{
    RavkSourceSize small = {256, 144};
    if (w > 640) {
        for (const RavkSourceSize &s : SMALL_SIZES) {
            if (s.width <= w - 640) {
                small = s;
                break;
            }
        }
    }
    static const int64_t percent[5] = {100, 80, 60, 40, 20};
    for (int i = 0; i < 5; i++) {
        int64_t x = int64_t(small.width) + (int64_t(w) - int64_t(small.width)) * percent[i] / 100;
        int64_t y = int64_t(small.height) + (int64_t(h) - int64_t(small.height)) * percent[i] / 100;
        out[i] = RavkSourceSize{uint32_t(x), uint32_t(y)};
    }
    out[5] = small;
}

}  // namespace

char *ravk_fourcc_text(uint32_t fourcc, char out[5])
{
    int n = 0;
    for (; n < 4; n++) {
        char c = char((fourcc >> (8 * n)) & 0xFF);
        if (c == ' ' || c == 0) break;
        out[n] = c;
    }
    out[n] = 0;
    return out;
}

char *ravk_audio_format_text(const RavkAudioFormat *format, char *out, uint64_t size)
{
    if (out == nullptr || size == 0) return out;
    if (format == nullptr) {
        out[0] = 0;
        return out;
    }
    const char *order = format->bits_per_sample > 8 ? (format->byte_order == RAVK_AUDIO_BYTE_ORDER_LE ? "LE" : "BE") : "";
    snprintf(out, size, "%c%hhu%s", format->sample_type, format->bits_per_sample, order);
    return out;
}

int ravk_source_desc_add_mode(RavkSourceDescriptor *d, const CoreVideoMode *reference, CoreVideoMode c)
{
    if (d == nullptr || reference == nullptr || d->modes == nullptr) return -1;
    const CoreVideoMode &r = *reference;
    if (usable(c.width) && usable(c.height) && usable(c.rate_num) && usable(c.rate_den)) {
        if ((r.width >= r.height) != (c.width >= c.height)) {
            uint32_t t = c.width;
            c.width = c.height;
            c.height = t;
        }
        // 64-bit product: width x height of large modes leaves 32 bits.
        if (r.width != 0 && r.height != 0) c.height = uint32_t(uint64_t(r.height) * c.width / r.width);
        c.width += c.width & 1;
        c.height += c.height & 1;
    }
    for (uint64_t i = 0; i < d->mode_count; i++) {
        if (d->modes[i].length == sizeof(CoreVideoMode) &&
            core_video_mode_equal(reinterpret_cast<const CoreVideoMode *>(d->modes[i].data), &c))
            return 0;
    }
    return append_mode(d, &c, sizeof(c));
}

int ravk_source_desc_build_video_modes(RavkSourceDescriptor *d, const CoreVideoMode *mode)
{
    if (d == nullptr || mode == nullptr || d->modes == nullptr) return -1;
    const CoreVideoMode m = *mode;
    const uint32_t W = m.width >= m.height ? m.width : m.height;
    const uint32_t H = m.width >= m.height ? m.height : m.width;
    if (!usable(W) || !usable(H) || !usable(m.rate_num) || !usable(m.rate_den)) return 0;

    free(d->sizes);
    free(d->rates);
    d->sizes = nullptr;
    d->rates = nullptr;
    d->size_count = d->rate_count = 0;

    if (d->device_class & RAVK_CLASS_VIRTUAL) {
        d->sizes = static_cast<RavkSourceSize *>(malloc(6 * sizeof(RavkSourceSize)));
        if (d->sizes == nullptr) return -1;
        virtual_sizes(d->sizes, W, H);
        d->size_count = 6;
    } else {
        uint64_t first = STANDARD_COUNT;
        for (uint64_t i = 0; i < STANDARD_COUNT; i++) {
            if (STANDARD_SIZES[i].width <= W) {
                first = i;
                break;
            }
        }
        uint64_t keep = 6;
        if (first < STANDARD_COUNT) {
            // Down to at least six sizes below the full one, and on to the
            // first size narrower than 768.
            uint64_t k = first;
            while (k < STANDARD_COUNT && !(k >= first + 6 && STANDARD_SIZES[k].width < 768)) k++;
            keep = k > 6 ? k : 6;
        }
        d->sizes = static_cast<RavkSourceSize *>(malloc(keep * sizeof(RavkSourceSize)));
        if (d->sizes == nullptr) return -1;
        memcpy(d->sizes, STANDARD_SIZES, keep * sizeof(RavkSourceSize));
        d->size_count = keep;
    }

    d->rates = static_cast<RavkSourceRate *>(malloc(2 * sizeof(RavkSourceRate)));
    if (d->rates == nullptr) return -1;
    d->rates[0] = RavkSourceRate{60, 1};
    d->rates[1] = RavkSourceRate{30, 1};
    d->rate_count = 2;

    free_modes(d);
    if (ravk_source_desc_add_mode(d, &m, CoreVideoMode{0, 0, 0, 0}) != 0) return -1;
    for (uint64_t r = 0; r < d->rate_count; r++) {
        const RavkSourceRate rate = d->rates[r];
        if (m.rate_num < rate.numerator) continue;
        if (ravk_source_desc_add_mode(d, &m, CoreVideoMode{m.width, m.height, rate.numerator, rate.denominator}) != 0)
            return -1;
        for (uint64_t s = 0; s < d->size_count; s++) {
            const RavkSourceSize size = d->sizes[s];
            if (size.width >= W || size.height > H) continue;
            if (ravk_source_desc_add_mode(d, &m, CoreVideoMode{size.width, size.height, rate.numerator,
                                                               rate.denominator}) != 0)
                return -1;
        }
    }
    return 0;
}

int ravk_source_desc_build_audio_modes(RavkSourceDescriptor *d, const RavkAudioFormat *format)
{
    if (d == nullptr || format == nullptr || d->modes == nullptr) return -1;
    if (!usable(format->rate) || format->channels == 0 || format->channels == 255 ||
        format->bits_per_sample == 0 || format->bits_per_sample == 255)
        return 0;
    free_modes(d);
    return append_mode(d, format, sizeof(*format));
}

void ravk_source_desc_free(RavkSourceDescriptor **pd)
{
    if (pd == nullptr || *pd == nullptr) return;
    RavkSourceDescriptor *d = *pd;
    free_properties(d);
    if (d->modes != nullptr) free_modes(d);
    free(d->modes);
    for (uint64_t i = 0; i < d->attribute_count; i++) free(d->attributes[i].data);
    free(d->attributes);
    core_buffer_free(&d->name);
    free_blob(&d->selection);
    if (d->device != nullptr) gst_object_unref(d->device);
    free(d->sizes);
    free(d->rates);
    free(d);
    *pd = nullptr;
}

RavkSourceDescriptor *ravk_source_desc_new(RavkSourceOps *ops, const CoreName *id, const CoreBuffer *name,
                                           int32_t node_type, uint32_t device_class, uint32_t codec,
                                           GstDevice *device, int32_t default_flag, int32_t loopback_flag,
                                           int32_t audio_backend, int32_t video_backend)
{
    if (ops == nullptr || id == nullptr || name == nullptr) return nullptr;
    uint32_t media;
    if (codec & 0x2u)
        media = 2;
    else if (codec & 0x1u)
        media = 1;
    else
        return nullptr;

    auto *d = static_cast<RavkSourceDescriptor *>(calloc(1, sizeof(RavkSourceDescriptor)));
    if (d == nullptr) return nullptr;
    if (device != nullptr) d->device = static_cast<GstDevice *>(gst_object_ref(device));
    d->is_default = default_flag;
    d->loopback = loopback_flag;
    d->audio_backend = audio_backend;
    d->video_backend = video_backend;
    d->codec = codec;
    d->media = media;
    d->device_class = device_class;
    d->node_type = node_type;
    d->fourcc = core_fourcc("NONE");
    d->mode_index = -1;
    snprintf(d->factory, sizeof(d->factory), "%s",
             ravk_node_factory_name(uint32_t(node_type), 0, codec, uint32_t(audio_backend), uint32_t(video_backend)));
    snprintf(d->role, sizeof(d->role), "%s", ravk_node_role_name(uint32_t(node_type), 0, codec));
    d->id = *id;
    core_name_make(&d->id);

    *ops = RavkSourceOps{
        get_device,     get_audio_backend, get_video_backend, clear_properties, add_property,  get_name,
        set_name,       get_id,            set_id,            get_caps,         set_factory,   get_factory,
        get_role,       property_count,    property_at,       find_property,    get_media,     get_class,
        get_codec,      get_node_type,     get_reserved,      is_default,       is_loopback,   has_class,
        set_caps_fmt,   set_caps,          append_caps_fmt,   append_caps,      set_fourcc,    get_fourcc,
        get_extra,      check,             unsupported,       get_attribute,    set_attribute, mode_count,
        mode_at,        get_mode_index,    get_selection,     set_mode_index,   set_selection, ravk_source_desc_free,
    };

    if (name->data == nullptr || name->capacity == 0 || core_buffer_alloc(&d->name, name->capacity) == nullptr) {
        ravk_source_desc_free(&d);
        return nullptr;
    }
    core_buffer_copy(&d->name, name);

    d->properties = static_cast<RavkProperty **>(calloc(8, sizeof(RavkProperty *)));
    d->modes = static_cast<RavkSourceBlob *>(calloc(8, sizeof(RavkSourceBlob)));
    d->attributes = static_cast<RavkSourceAttribute *>(calloc(8, sizeof(RavkSourceAttribute)));
    if (d->properties == nullptr || d->modes == nullptr || d->attributes == nullptr) {
        ravk_source_desc_free(&d);
        return nullptr;
    }
    d->property_capacity = d->mode_capacity = d->attribute_capacity = 8;
    return d;
}
