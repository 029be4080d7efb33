// wmi_cimvalue_test.cpp
#include "wmi_cimvalue.h"
#include "wmi_testutil.h"

#include <gtest/gtest.h>

#include <cstring>

using namespace wmi;
using namespace wmi::standin;
using wmi::test::intVariant;
using wmi::test::textVariant;

namespace {

TEST(CimValueTest, TextReadsAsTheTypeWithRangeChecks) {
    Scalar s;
    ASSERT_TRUE(scalarFromText(CimBase::e_UINT32, "0x7", &s));
    EXPECT_EQ(Scalar(uint64_t{7}), s);
    ASSERT_TRUE(scalarFromText(CimBase::e_SINT64, "-9223372036854775808", &s));
    EXPECT_EQ(Scalar(INT64_MIN), s);
    ASSERT_TRUE(scalarFromText(CimBase::e_BOOLEAN, "TRUE", &s));
    EXPECT_EQ("TRUE", scalarText(s));
    ASSERT_TRUE(scalarFromText(CimBase::e_REAL64, "-2e3", &s));
    EXPECT_EQ("-2000", scalarText(s));
    ASSERT_TRUE(scalarFromText(CimBase::e_DATETIME, "x", &s));
    EXPECT_TRUE(scalarEquals(Scalar(std::string("ABC")), Scalar(std::string("abc"))));
    EXPECT_FALSE(scalarEquals(Scalar(int64_t{1}), Scalar(uint64_t{1})));
    const std::pair<CimBase, const char*> k_REFUSED[] = {
        {CimBase::e_UINT8, "256"},
        {CimBase::e_UINT8, "-1"},
        {CimBase::e_SINT8, "-129"},
        {CimBase::e_SINT32, "2147483648"},
        {CimBase::e_UINT64, "18446744073709551616"},
        {CimBase::e_SINT64, "-9223372036854775809"},
        {CimBase::e_UINT32, "7 "},
        {CimBase::e_UINT32, "0x"},
        {CimBase::e_UINT32, ""},
        {CimBase::e_BOOLEAN, "yes"},
        {CimBase::e_REAL32, "1.5x"},
        {CimBase::e_CHAR16, "65536"}};
    for (const auto& [base, text] : k_REFUSED) {
        EXPECT_FALSE(scalarFromText(base, text, &s)) << cimBaseName(base) << " " << text;
    }
    EXPECT_EQ(CIM_UINT8 | CIM_FLAG_ARRAY, cimTypeCode(CimType{CimBase::e_UINT8, true}));
}

// Put's conversion, and Get's for a byte array (every type as Get gives it:
// wmi_standin_test.cpp).
TEST(CimValueTest, VariantsConvertBothWaysAsPutAndGetDo) {
    auto put = [](CimType type, VARIANT in, Value* out) {
        const HRESULT hr = valueFromVariant(type, in, out);
        VariantClear(&in);
        return hr;
    };
    Value v;
    ASSERT_EQ(S_OK, put({CimBase::e_UINT32}, textVariant("150"), &v));
    EXPECT_EQ(Scalar(uint64_t{150}), v.d_items[0]);
    ASSERT_EQ(S_OK, put({CimBase::e_STRING}, intVariant(42), &v));
    EXPECT_EQ(Scalar(std::string("42")), v.d_items[0]);
    ASSERT_EQ(S_OK, put({CimBase::e_BOOLEAN}, intVariant(2), &v));
    EXPECT_EQ(Scalar(true), v.d_items[0]);
    VARIANT real;
    VariantInit(&real);
    real.vt = VT_R8;
    real.dblVal = 3.0;
    ASSERT_EQ(S_OK, put({CimBase::e_SINT16}, real, &v));
    EXPECT_EQ(Scalar(int64_t{3}), v.d_items[0]);
    real.dblVal = 3.5;
    EXPECT_EQ(WBEM_E_TYPE_MISMATCH, put({CimBase::e_SINT16}, real, &v));
    EXPECT_EQ(WBEM_E_TYPE_MISMATCH, put({CimBase::e_UINT8}, intVariant(-1), &v));
    EXPECT_EQ(WBEM_E_TYPE_MISMATCH, put({CimBase::e_UINT32}, textVariant("twelve"), &v));
    EXPECT_EQ(WBEM_E_TYPE_MISMATCH, put({CimBase::e_UINT8, true}, intVariant(1), &v));
    VARIANT null;
    VariantInit(&null);
    null.vt = VT_NULL;
    ASSERT_EQ(S_OK, put({CimBase::e_UINT8, true}, null, &v));
    EXPECT_TRUE(v.d_null);

    // A byte array, as a photo is written, travels packed and reads back whole.
    VARIANT blob;
    VariantInit(&blob);
    blob.vt = VT_ARRAY | VT_UI1;
    blob.parray = SafeArrayCreateVector(VT_UI1, 0, 2);
    std::memcpy(blob.parray->pvData, "\x07\xC8", 2);
    ASSERT_EQ(S_OK, put({CimBase::e_UINT8, true}, blob, &v));
    ASSERT_TRUE(v.d_bytes);
    EXPECT_EQ(std::string("\x07\xC8", 2), *v.d_bytes);
    VARIANT out;
    valueToVariant({CimBase::e_UINT8, true}, v, &out);
    ASSERT_EQ(VT_ARRAY | VT_UI1, out.vt);
    ASSERT_EQ(2u, out.parray->rgsabound[0].cElements);
    EXPECT_EQ(0, std::memcmp(out.parray->pvData, "\x07\xC8", 2));
    VariantClear(&out);
    EXPECT_EQ(0, liveStrings());
    EXPECT_EQ(0, liveArrays());
}

}  // namespace
