// Element property records: one GObject property of a pipeline element,
// planned before the element exists.
//
// A pipeline node keeps lists of these records and sets them on its
// element in one pass when the element joins its pipeline, so a pipeline
// can be planned and merged before any element is touched. A record holds
// the property's name and a GValue that already has the property's own
// type, so applying it needs no conversion. Records live on the GLib heap
// and belong to the list that holds them; ravk_property_free unsets the
// value and frees the record.
//
// Constructors return the new record, or NULL when it cannot be made.
// Records are plain values: any thread may make, copy and free them, one
// thread at a time per record. The fraction and array constructors need
// GStreamer initialised (its value types are registered there) and give
// NULL before.
#pragma once

#include <glib-object.h>

#include <cstdint>

#define RAVK_PROPERTY_NAME_SIZE 1024

// Element kind of ravk_property_new_int_array: G_TYPE_INT values.
#define RAVK_PROPERTY_ARRAY_INT 1u

struct RavkProperty {
    char name[RAVK_PROPERTY_NAME_SIZE];  // zero-terminated, cut at 1023 characters
    GValue value;
};

RavkProperty *ravk_property_new_boolean(const char *name, int flag);  // any non-zero flag is TRUE
RavkProperty *ravk_property_new_int(const char *name, int32_t value);
RavkProperty *ravk_property_new_uint(const char *name, uint32_t value);
RavkProperty *ravk_property_new_int64(const char *name, int64_t value);
RavkProperty *ravk_property_new_uint64(const char *name, uint64_t value);
RavkProperty *ravk_property_new_double(const char *name, double value);
// The pointer is stored, not owned.
RavkProperty *ravk_property_new_pointer(const char *name, gpointer value);
// The text is copied into the value.
RavkProperty *ravk_property_new_string(const char *name, const char *value);
RavkProperty *ravk_property_new_fraction(const char *name, int32_t numerator, int32_t denominator);
// A GstValueArray of `count` values that follow as int arguments, in
// argument order. Only RAVK_PROPERTY_ARRAY_INT is an element kind; any
// other gives NULL.
RavkProperty *ravk_property_new_int_array(const char *name, uint32_t element_kind, uint32_t count, ...);

// A new record with the same name and a deep copy of the value: strings
// and arrays outlive the original.
RavkProperty *ravk_property_copy(const RavkProperty *property);

// Unsets the value and frees the record; NULL is ignored.
void ravk_property_free(RavkProperty *property);
