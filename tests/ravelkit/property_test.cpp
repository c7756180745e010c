// Property records: every constructor's type and value, name cutting, the
// integer array, and deep copies that outlive their original.
#include "ravelkit/property.h"

#include <gst/gst.h>
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "gst_support.h"

namespace {

struct Free {
    void operator()(RavkProperty *p) const { ravk_property_free(p); }
};
using Record = std::unique_ptr<RavkProperty, Free>;

class PropertyTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { ASSERT_TRUE(ravk_test_gst_setup()); }
};

std::vector<int> array_of(const RavkProperty *p)
{
    std::vector<int> values;
    for (guint i = 0; i < gst_value_array_get_size(&p->value); ++i)
        values.push_back(g_value_get_int(gst_value_array_get_value(&p->value, i)));
    return values;
}

// Each constructor gives the property's own type, so setting the record
// on an element needs no conversion; the value reads back as given.
TEST_F(PropertyTest, ConstructorsHoldTheirTypeAndValue)
{
    int marker = 0;
    struct Case {
        const char *purpose;
        RavkProperty *record;
        GType type;
        std::string value;  // gst_value_serialize of the value
    };
    const Case cases[] = {
        {"any non-zero flag is TRUE", ravk_property_new_boolean("b", 5), G_TYPE_BOOLEAN, "true"},
        {"zero flag", ravk_property_new_boolean("b", 0), G_TYPE_BOOLEAN, "false"},
        {"int", ravk_property_new_int("i", -7), G_TYPE_INT, "-7"},
        {"uint", ravk_property_new_uint("u", 4000000000u), G_TYPE_UINT, "4000000000"},
        {"int64", ravk_property_new_int64("l", INT64_MIN), G_TYPE_INT64, "-9223372036854775808"},
        {"uint64", ravk_property_new_uint64("ul", UINT64_MAX), G_TYPE_UINT64, "18446744073709551615"},
        {"double", ravk_property_new_double("d", 0.5), G_TYPE_DOUBLE, "0.5"},
        {"string", ravk_property_new_string("s", "video/x-raw"), G_TYPE_STRING, "video/x-raw"},
        {"fraction", ravk_property_new_fraction("f", 30000, 1001), GST_TYPE_FRACTION, "30000/1001"},
    };
    for (const Case &c : cases) {
        Record record(c.record);
        ASSERT_NE(record, nullptr) << c.purpose;
        EXPECT_EQ(G_VALUE_TYPE(&record->value), c.type) << c.purpose;
        gchar *text = gst_value_serialize(&record->value);
        EXPECT_EQ(std::string(text ? text : "<none>"), c.value) << c.purpose;
        g_free(text);
    }
    Record array(ravk_property_new_int_array("a", RAVK_PROPERTY_ARRAY_INT, 3, 32, 8, 4));
    ASSERT_NE(array, nullptr);
    EXPECT_EQ(G_VALUE_TYPE(&array->value), GST_TYPE_ARRAY);
    EXPECT_EQ(array_of(array.get()), (std::vector<int>{32, 8, 4}));
    Record empty(ravk_property_new_int_array("a", RAVK_PROPERTY_ARRAY_INT, 0));
    ASSERT_NE(empty, nullptr);
    EXPECT_EQ(G_VALUE_TYPE(&empty->value), GST_TYPE_ARRAY);
    EXPECT_TRUE(array_of(empty.get()).empty());

    Record pointer(ravk_property_new_pointer("p", &marker));
    ASSERT_NE(pointer, nullptr);
    EXPECT_EQ(g_value_get_pointer(&pointer->value), &marker);
    EXPECT_STREQ(pointer->name, "p");
}

TEST_F(PropertyTest, NamesAreCutAt1023Characters)
{
    const std::string long_name(2000, 'n');
    Record record(ravk_property_new_int(long_name.c_str(), 1));
    ASSERT_NE(record, nullptr);
    EXPECT_EQ(std::string(record->name), long_name.substr(0, 1023));
    EXPECT_EQ(ravk_property_new_int(nullptr, 1), nullptr);
}

TEST_F(PropertyTest, ArrayOfAnotherElementKindGivesNoRecord)
{
    EXPECT_EQ(ravk_property_new_int_array("a", 2, 3, 32, 8, 4), nullptr);
    EXPECT_EQ(ravk_property_new_int_array("a", 0, 0), nullptr);
}

// The copy owns its string and array: freeing the original and the
// caller's text leaves it intact (ASan reports any shared storage).
TEST_F(PropertyTest, CopyIsDeepAndOutlivesTheOriginal)
{
    std::string text = "format=I420";
    Record string_copy;
    Record array_copy;
    {
        Record string(ravk_property_new_string("caps", text.c_str()));
        Record array(ravk_property_new_int_array("sizes", RAVK_PROPERTY_ARRAY_INT, 2, 640, 480));
        ASSERT_NE(string, nullptr);
        ASSERT_NE(array, nullptr);
        string_copy.reset(ravk_property_copy(string.get()));
        array_copy.reset(ravk_property_copy(array.get()));
        text.assign(text.size(), 'x');
    }
    ASSERT_NE(string_copy, nullptr);
    ASSERT_NE(array_copy, nullptr);
    EXPECT_STREQ(string_copy->name, "caps");
    EXPECT_STREQ(g_value_get_string(&string_copy->value), "format=I420");
    EXPECT_STREQ(array_copy->name, "sizes");
    EXPECT_EQ(array_of(array_copy.get()), (std::vector<int>{640, 480}));
    EXPECT_EQ(ravk_property_copy(nullptr), nullptr);
}

// A record applies to an element as is: the typed value is what
// g_object_set_property takes.
TEST_F(PropertyTest, RecordsSetElementProperties)
{
    GstElement *rate = gst_element_factory_make("liverate", nullptr);
    ASSERT_NE(rate, nullptr);
    gst_object_ref_sink(rate);
    Record max(ravk_property_new_fraction("max-framerate", 15, 1));
    g_object_set_property(G_OBJECT(rate), max->name, &max->value);
    gint num = 0, den = 0;
    g_object_get(rate, "max-framerate", &num, &den, nullptr);
    EXPECT_EQ(num, 15);
    EXPECT_EQ(den, 1);
    gst_object_unref(rate);
}

}  // namespace
