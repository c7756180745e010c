#include "ravelkit/property.h"

#include <gst/gst.h>

#include <cstdarg>
#include <cstdio>

namespace {

// Takes the temporary's value into a new record and unsets the temporary
// in every case.
RavkProperty *record_from(const char *name, GValue *temporary)
{
    RavkProperty *property = nullptr;
    if (name != nullptr && G_IS_VALUE(temporary)) {
        property = static_cast<RavkProperty *>(g_try_malloc0(sizeof(RavkProperty)));
        if (property != nullptr) {
            g_value_init(&property->value, G_VALUE_TYPE(temporary));
            g_value_copy(temporary, &property->value);
            snprintf(property->name, sizeof(property->name), "%s", name);
        }
    }
    if (G_IS_VALUE(temporary)) g_value_unset(temporary);
    return property;
}

}  // namespace

RavkProperty *ravk_property_new_boolean(const char *name, int flag)
{
    GValue value = G_VALUE_INIT;
    g_value_init(&value, G_TYPE_BOOLEAN);
    g_value_set_boolean(&value, flag != 0);
    return record_from(name, &value);
}

RavkProperty *ravk_property_new_int(const char *name, int32_t number)
{
    GValue value = G_VALUE_INIT;
    g_value_init(&value, G_TYPE_INT);
    g_value_set_int(&value, number);
    return record_from(name, &value);
}

RavkProperty *ravk_property_new_uint(const char *name, uint32_t number)
{
    GValue value = G_VALUE_INIT;
    g_value_init(&value, G_TYPE_UINT);
    g_value_set_uint(&value, number);
    return record_from(name, &value);
}

RavkProperty *ravk_property_new_int64(const char *name, int64_t number)
{
    GValue value = G_VALUE_INIT;
    g_value_init(&value, G_TYPE_INT64);
    g_value_set_int64(&value, number);
    return record_from(name, &value);
}

RavkProperty *ravk_property_new_uint64(const char *name, uint64_t number)
{
    GValue value = G_VALUE_INIT;
    g_value_init(&value, G_TYPE_UINT64);
    g_value_set_uint64(&value, number);
    return record_from(name, &value);
}

RavkProperty *ravk_property_new_double(const char *name, double number)
{
    GValue value = G_VALUE_INIT;
    g_value_init(&value, G_TYPE_DOUBLE);
    g_value_set_double(&value, number);
    return record_from(name, &value);
}

RavkProperty *ravk_property_new_pointer(const char *name, gpointer pointer)
{
    GValue value = G_VALUE_INIT;
    g_value_init(&value, G_TYPE_POINTER);
    g_value_set_pointer(&value, pointer);
    return record_from(name, &value);
}

RavkProperty *ravk_property_new_string(const char *name, const char *text)
{
    GValue value = G_VALUE_INIT;
    g_value_init(&value, G_TYPE_STRING);
    g_value_set_string(&value, text);
    return record_from(name, &value);
}

RavkProperty *ravk_property_new_fraction(const char *name, int32_t numerator, int32_t denominator)
{
    // GST_TYPE_FRACTION is 0 until gst_init registers it.
    if (!gst_is_initialized()) return nullptr;
    GValue value = G_VALUE_INIT;
    g_value_init(&value, GST_TYPE_FRACTION);
    gst_value_set_fraction(&value, numerator, denominator);
    return record_from(name, &value);
}

RavkProperty *ravk_property_new_int_array(const char *name, uint32_t element_kind, uint32_t count, ...)
{
    if (element_kind != RAVK_PROPERTY_ARRAY_INT || !gst_is_initialized()) return nullptr;
    GValue value = G_VALUE_INIT;
    g_value_init(&value, GST_TYPE_ARRAY);
    va_list args;
    va_start(args, count);
    for (uint32_t i = 0; i < count; ++i) {
        GValue element = G_VALUE_INIT;
        g_value_init(&element, G_TYPE_INT);
        g_value_set_int(&element, va_arg(args, int));
        gst_value_array_append_value(&value, &element);
        g_value_unset(&element);
    }
    va_end(args);
    return record_from(name, &value);
}

RavkProperty *ravk_property_copy(const RavkProperty *property)
{
    if (property == nullptr || !G_IS_VALUE(&property->value)) return nullptr;
    GValue value = G_VALUE_INIT;
    g_value_init(&value, G_VALUE_TYPE(&property->value));
    g_value_copy(&property->value, &value);
    return record_from(property->name, &value);
}

void ravk_property_free(RavkProperty *property)
{
    if (property == nullptr) return;
    if (G_IS_VALUE(&property->value)) g_value_unset(&property->value);
    g_free(property);
}
