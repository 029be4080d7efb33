// wmi_mof_test.cpp
#include "wmi_mof.h"

#include <gtest/gtest.h>

using namespace wmi::standin;

namespace {

const Value& valueOf(const Instance& inst, const char* name) {
    const int idx = inst.d_class->findProperty(name);
    EXPECT_GE(idx, 0) << name;
    return inst.d_values[idx];
}

TEST(MofTest, ReadsTheWholeSubset) {
    const char* text = R"(// a comment
/* a block
   comment */
#pragma autorecover
#pragma namespace ("\\\\.\\ROOT\\Sample")
[Description("base"): ToSubclass, LatencyMs(3)]
class Base {
    [key, Description("the key")] uint32 Id;
    string Label = "none";
};
[SubscribeError(-2147217405), QueryError(0x80041010)]
class Derived : Base {
    sint8 Small;  uint64 Big;  real64 Ratio = 1e3;  boolean On;  char16 C;
    datetime At;  uint8 Blob[];  string Names[4];
    [static, ExecError(0x8004102F)] uint32 Run([in] sint32 A, [in, out] string B, [out] real32 C,
                                                 sint16 D);
    void Nothing();
};
instance of Derived as $d {
    Id = 0x10;
    Label = "tab\there \"quoted\" \\ back" " and joined";
    Small = -128; Big = 18446744073709551615; Ratio = -0.5; On = TRUE; C = 'x';
    At = "20260101000000.000000+000"; Blob = {1, 0x2, 255}; Names = {"a", "\x00e9"};
};
instance of Base { Id = 1; };
#pragma namespace("root/Other")
class Base { [key] string Id; };
)";
    Repository repo;
    MofError error;
    ASSERT_TRUE(parseRepository(text, &repo, &error)) << error.text();
    ASSERT_EQ(2u, repo.d_namespaces.size());
    const Namespace* ns = repo.findNamespace("root\\sample");
    ASSERT_NE(nullptr, ns);
    EXPECT_EQ("ROOT\\Sample", ns->d_name);
    ASSERT_NE(nullptr, repo.findNamespace("\\\\.\\root\\other"));

    auto derived = ns->findClass("DERIVED");
    ASSERT_TRUE(derived);
    EXPECT_EQ((std::vector<std::string>{"Base"}), derived->d_derivation);
    EXPECT_EQ(3, derived->d_latency_ms);  // inherited
    EXPECT_EQ(static_cast<HRESULT>(0x80041003u), *derived->d_subscribe_error);
    EXPECT_EQ(WBEM_E_INVALID_CLASS, *derived->d_query_error);
    EXPECT_EQ(0, derived->findProperty("id"));  // inherited ones first
    EXPECT_TRUE(derived->d_properties[0].d_key);
    EXPECT_TRUE(derived->d_properties[derived->findProperty("Names")].d_type.d_array);
    const MethodDecl* run = derived->findMethod("run");
    ASSERT_NE(nullptr, run);
    EXPECT_TRUE(run->d_static);
    EXPECT_EQ(static_cast<HRESULT>(0x8004102Fu), *run->d_exec_error);
    ASSERT_EQ(4u, run->d_params.size());
    EXPECT_TRUE(run->d_params[1].d_in && run->d_params[1].d_out);
    EXPECT_TRUE(!run->d_params[2].d_in && run->d_params[2].d_out);
    EXPECT_TRUE(run->d_params[3].d_in && !run->d_params[3].d_out);  // [in] by default
    EXPECT_FALSE(derived->findMethod("Nothing")->d_has_return);
    auto inSig = makeSignature(*derived, *run, true);
    auto outSig = makeSignature(*derived, *run, false);
    ASSERT_TRUE(inSig && outSig);
    EXPECT_EQ(3u, inSig->d_properties.size());
    EXPECT_EQ(3u, outSig->d_properties.size());
    EXPECT_EQ("ReturnValue", outSig->d_properties.back().d_name);
    EXPECT_FALSE(makeSignature(*derived, *derived->findMethod("Nothing"), false));

    ASSERT_EQ(2u, ns->d_instances.size());
    const Instance& d = *ns->d_instances[0];
    EXPECT_EQ(uint64_t{16}, std::get<uint64_t>(valueOf(d, "Id").d_items[0]));
    EXPECT_EQ("tab\there \"quoted\" \\ back and joined",
              std::get<std::string>(valueOf(d, "Label").d_items[0]));
    EXPECT_EQ(int64_t{-128}, std::get<int64_t>(valueOf(d, "Small").d_items[0]));
    EXPECT_EQ(UINT64_MAX, std::get<uint64_t>(valueOf(d, "Big").d_items[0]));
    EXPECT_EQ(-0.5, std::get<double>(valueOf(d, "Ratio").d_items[0]));
    EXPECT_EQ(true, std::get<bool>(valueOf(d, "On").d_items[0]));
    EXPECT_EQ(uint64_t{'x'}, std::get<uint64_t>(valueOf(d, "C").d_items[0]));
    EXPECT_EQ(3u, valueOf(d, "Blob").d_items.size());
    EXPECT_EQ("\xc3\xa9", std::get<std::string>(valueOf(d, "Names").d_items[1]));
    // Defaults apply where an instance gives nothing.
    EXPECT_EQ("none", std::get<std::string>(valueOf(*ns->d_instances[1], "Label").d_items[0]));
    EXPECT_EQ(1e3, std::get<double>(
                       derived->d_properties[derived->findProperty("Ratio")].d_default.d_items[0]));
    EXPECT_TRUE(derived->d_properties[derived->findProperty("Small")].d_default.d_null);
}

TEST(MofTest, ErrorsNameLineAndColumnAndRefuseTheFile) {
    struct Case {
        const char* d_text;
        int d_line;
        int d_column;
        const char* d_message;
    };
    const Case k_CASES[] = {
        {"class A { uint32 X; }", 1, 22, "expected ';', found end of file"},
        {"class A {\n  uint33 X;\n};", 2, 3, "expected a type, found 'uint33'"},
        {"class A { [key] uint8 X; };\ninstance of A { X = 256; };", 2, 21,
         "value 256 is not a valid uint8"},
        {"class A { [key] uint8 X; };\ninstance of A { X = 1.5; };", 2, 21,
         "expected an integer for uint8"},
        {"class A { [key] uint8 X; };\ninstance of A { Y = 1; };", 2, 17,
         "class A has no property Y"},
        {"class A { [key] uint8 X; };\ninstance of A { };", 2, 13,
         "key property X of A has no value"},
        {"class A { [key] uint8 X; };\ninstance of A { X = 1; };\ninstance of A { X = 1; };", 3, 13,
         "instance A.X=1 is already defined"},
        {"instance of B { X = 1; };", 1, 13, "unknown class B in namespace root\\default"},
        {"class A : B { };", 1, 11, "unknown superclass B"},
        {"class A { };\nclass a { };", 2, 7, "class a is already defined"},
        {"class A { string S = \"open\n\"; };", 1, 22, "unterminated string"},
        {"class A { string S = \"\\q\"; };", 1, 23, "unknown escape \\q"},
        {"/* never closed", 1, 1, "unterminated comment"},
        {"class A { string S; string s; };", 1, 28, "property s is declared twice"},
        {"class A { uint8 B[] = 3; };", 1, 23, "expected an array value in braces"},
        {"class A { uint8 B = {1}; };", 1, 21,
         "an array value for a property that is not an array"},
        {"class A { boolean B = 1; };", 1, 23, "expected true or false for boolean"},
        {"class A { uint32 M([in] string a, [out] uint32 A); };", 1, 41,
         "parameter A is declared twice"},
        {"[LatencyMs(\"x\")] class A { };", 1, 2, "qualifier LatencyMs needs a number"},
        {"#pragma namespace(\"\\\\\\\\far\\\\root\")", 1, 19,
         "invalid namespace path '\\\\far\\root'"},
        {"class A { Other ref R; };", 1, 11, "reference types are not supported"},
        {"class A { @ };", 1, 11, "unexpected character '@'"},
    };
    for (const Case& c : k_CASES) {
        Repository repo;
        repo.d_namespaces.push_back(Namespace{"untouched", {}, {}});
        MofError error;
        EXPECT_FALSE(parseRepository(c.d_text, &repo, &error)) << c.d_text;
        EXPECT_EQ(c.d_line, error.d_line) << c.d_text;
        EXPECT_EQ(c.d_column, error.d_column) << c.d_text;
        EXPECT_EQ(c.d_message, error.d_message) << c.d_text;
        ASSERT_EQ(1u, repo.d_namespaces.size());  // refused as a whole
        EXPECT_EQ("untouched", repo.d_namespaces[0].d_name);
    }
    MofError error;
    Repository repo;
    EXPECT_FALSE(parseRepository("class A {\n  uint32 X\n};", &repo, &error));
    EXPECT_EQ("line 3, column 1: expected ';', found '}'", error.text());
}

TEST(MofTest, EventFilesHoldInstancesOfKnownClassesOnly) {
    Repository repo;
    MofError error;
    ASSERT_TRUE(
        parseRepository("#pragma namespace(\"root\\\\A\")\n"
                        "class E : __ExtrinsicEvent { uint32 N; };\n"
                        "#pragma namespace(\"root\\\\B\")\n"
                        "class E : __ExtrinsicEvent { string S; };\n",
                        &repo, &error))
        << error.text();
    std::vector<EventBatch> batches;
    ASSERT_TRUE(
        parseEvents("instance of E { N = 1; };\n"
                    "#pragma namespace(\"root\\\\b\")\n"
                    "instance of E { S = \"x\"; };\n"
                    "#pragma namespace(\"\\\\\\\\.\\\\root\\\\a\")\n"
                    "instance of E { N = 2; };\n",
                    repo, &batches, &error))
        << error.text();
    ASSERT_EQ(2u, batches.size());
    EXPECT_EQ("root\\A", batches[0].d_namespace);  // the first namespace without a pragma
    EXPECT_EQ(2u, batches[0].d_instances.size());
    EXPECT_EQ("root\\B", batches[1].d_namespace);
    EXPECT_EQ(1u, batches[1].d_instances.size());

    EXPECT_FALSE(parseEvents("class F { };", repo, &batches, &error));
    EXPECT_EQ("line 1, column 1: class declarations are not allowed in an event file",
              error.text());
    EXPECT_FALSE(parseEvents("#pragma namespace(\"root\\\\C\")", repo, &batches, &error));
    EXPECT_EQ(1, error.d_line);
    EXPECT_EQ(19, error.d_column);
    EXPECT_FALSE(parseEvents("instance of E { S = 1; };", repo, &batches, &error));
    EXPECT_EQ("line 1, column 17: class E has no property S", error.text());
    EXPECT_TRUE(parseEvents("", repo, &batches, &error));
    EXPECT_TRUE(batches.empty());
}

}  // namespace

namespace {

// Event files come from outside: damaged text of every kind must be refused
// (or read) without reading out of bounds.
TEST(MofTest, DamagedTextIsRefusedSafely) {
    const std::string seed = R"(#pragma namespace("\\\\.\\root\\X")
[LatencyMs(2)] class A : __ExtrinsicEvent { [key] uint32 Id; string S = "a\x41\"";
  uint8 B[]; real64 R; uint32 M([in] sint8 a, [in, out] string b); };
instance of A { Id = 0x1F; S = "x" "y"; B = {1, 2}; R = -1.5e-3; }; /* c */ // d
)";
    Repository base;
    MofError error;
    ASSERT_TRUE(parseRepository(seed, &base, &error)) << error.text();
    uint32_t x = 2463534242u;
    auto rnd = [&] {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        return x;
    };
    const char k_BYTES[] = "\"'\\{}[]();,:=#/*-0x9aZ \n\xc3\xff";
    for (int round = 0; round < 3000; ++round) {
        std::string text = seed;
        const int edits = 1 + static_cast<int>(rnd() % 4);
        for (int e = 0; e < edits; ++e) {
            const size_t at = rnd() % text.size();
            switch (rnd() % 3) {
                case 0:
                    text[at] = k_BYTES[rnd() % (sizeof k_BYTES - 1)];
                    break;
                case 1:
                    text.erase(at, 1 + rnd() % 8);
                    break;
                default:
                    text.resize(at);
                    break;
            }
            if (text.empty()) {
                text = "{";
            }
        }
        Repository repo;
        if (!parseRepository(text, &repo, &error)) {
            EXPECT_GE(error.d_line, 1) << text;
            EXPECT_GE(error.d_column, 1) << text;
            EXPECT_FALSE(error.d_message.empty());
        }
        std::vector<EventBatch> batches;
        parseEvents(text, base, &batches, &error);
    }
}

}  // namespace
