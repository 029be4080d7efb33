#include "core_varargs.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <climits>
#include <cstdint>

#include "testsupport_logcapture.h"

namespace core {
namespace {

using ::testing::ElementsAre;

TEST(Format, BooleansAndCharacters) {
    EXPECT_EQ(strFormat("%b", true), "true");
    EXPECT_EQ(strFormat("%5b", false), "false");
    EXPECT_EQ(strFormat("%-6y|", true), "yes   |");
    EXPECT_EQ(strFormat("%4y|%d", false, true), "  no|1");
    EXPECT_EQ(strFormat("%c%c%c", 'a', '\0', 'b'), "ab");
    EXPECT_EQ(strFormat("%d %x", 'A', 'A'), "65 41");
    EXPECT_EQ(strFormat("%c", 0x141), "A");  // the low byte of an integer
}

TEST(Format, IntegerFlagsWidthAndPrecision) {
    EXPECT_EQ(strFormat("%05d", -42), "-0042");
    EXPECT_EQ(strFormat("%+d", 7), "+7");
    EXPECT_EQ(strFormat("% +d", 7), " 7");
    EXPECT_EQ(strFormat("% d|% d", -7, 0), "-7| 0");
    EXPECT_EQ(strFormat("%x %X %o", 255, 255, 8), "ff FF 10");
    EXPECT_EQ(strFormat("%.3d", 5), "005");
    EXPECT_EQ(strFormat("%5.3d|", 5), "005|");  // precision replaces the width
    EXPECT_EQ(strFormat("%.3d", -5), "-05");
    EXPECT_EQ(strFormat("%5d|%-5d|%-05d|", 42, 42, 42), "   42|42   |00042|");
    EXPECT_EQ(strFormat("%d %u", 0, 0u), "0 0");
    EXPECT_EQ(strFormat("%#x", 255), "ff");
    EXPECT_EQ(strFormat("%ld %lld %hhd %zu %jd", 1L, 2LL, 3, size_t{4}, intmax_t{5}), "1 2 3 4 5");
    EXPECT_EQ(strFormat("%d", INT64_MIN), "-9223372036854775808");
    EXPECT_EQ(strFormat("%u", UINT64_MAX), "18446744073709551615");
    // Unsigned conversions see the bits of the argument's own width.
    EXPECT_EQ(strFormat("%x %x %u", -1, int16_t{-1}, int8_t{-2}), "ffffffff ffff 254");
    EXPECT_EQ(strFormat("%x", int64_t{-1}), "ffffffffffffffff");
}

TEST(Format, TextPointersAndShortenedStrings) {
    EXPECT_EQ(strFormat("%8S", "abcdefghijkl"), "abcde...");
    EXPECT_EQ(strFormat("%8S|", "abc"), "abc|");
    EXPECT_EQ(strFormat("%4S", std::string("abcdef")), "a...");
    EXPECT_EQ(strFormat("%.2s", "hello"), "he");
    EXPECT_EQ(strFormat("%.0s", "hello"), "hello");
    EXPECT_EQ(strFormat("%6s|%-6s|", "ab", std::string_view("cd")), "    ab|cd    |");
    EXPECT_EQ(strFormat("%06s", "ab"), "    ab");  // text never fills with zeros
    const char* none = nullptr;
    EXPECT_EQ(strFormat("%s", none), "(null)");
    EXPECT_EQ(strFormat("%p", nullptr), "(nil)");
    EXPECT_EQ(strFormat("%p", none), "(nil)");
    const std::string_view view("abcdef", 3);  // length from the object, not a NUL
    EXPECT_EQ(strFormat("[%s]", view), "[abc]");

    const void* p = reinterpret_cast<const void*>(uintptr_t{0x1234});
    EXPECT_EQ(strFormat("%p", p), "0x1234");
    EXPECT_EQ(strFormat("%8p|", p), "0x  1234|");
    EXPECT_EQ(strFormat("%08p", p), "0x001234");
    const char* cstr = reinterpret_cast<const char*>(uintptr_t{0xabc});
    EXPECT_EQ(strFormat("%p", cstr), "0xabc");
}

TEST(Format, FloatingPoint) {
    EXPECT_EQ(strFormat("%.3f", 3.14159), "3.142");
    EXPECT_EQ(strFormat("%f", 1.5), "1.500000");
    EXPECT_EQ(strFormat("%8.2f|%-8.2f|", 2.5, 2.5), "    2.50|2.50    |");
    EXPECT_EQ(strFormat("%+08.1f", 2.5), "     2.5");  // sign and zero flags do not apply
    EXPECT_EQ(strFormat("%e %G", 12345.0, 0.5), "1.234500e+04 0.5");
    EXPECT_EQ(strFormat("%.2f", 2.5f), "2.50");
    // A value longer than the usual buffer keeps all its digits.
    EXPECT_EQ(strFormat("%.1f", 1e30), "1000000000000000019884624838656.0");
}

TEST(Format, DurationTexts) {
    auto d = [](int64_t us) { return strFormat("%s", Microseconds(us)); };
    EXPECT_EQ(d(0), "0us");
    EXPECT_EQ(d(1500), "1.500ms");
    EXPECT_EQ(d(250500), "250.5ms");
    EXPECT_EQ(d(250000), "250ms");
    EXPECT_EQ(d(2000), "2ms");
    EXPECT_EQ(d(61500000), "1m 01.500s");
    EXPECT_EQ(d(3000000), "3s");
    EXPECT_EQ(d(7), "0.007ms");
    EXPECT_EQ(d(-1500), "-1.500ms");
    EXPECT_EQ(d(-250500), "-250.5ms");
    EXPECT_EQ(d(1234567), "1.234s");
    EXPECT_EQ(d(-1234567), "-1.234s");
    EXPECT_EQ(d(120000000), "2m 00s");
    EXPECT_EQ(d(3723000000), "1h 2m 03s");
    EXPECT_EQ(d(3723456789), "1h 2m 03.456s");
    EXPECT_EQ(d(-3723456789), "-1h 2m 03.456s");
    EXPECT_EQ(d(-61000000), "-1m 01s");
    EXPECT_EQ(d(INT64_MIN).substr(0, 1), "-");
    // Any conversion takes the duration, with the text rules.
    EXPECT_EQ(
        strFormat("%8d|%-6s|%.2s", Microseconds(3000000), Microseconds(2000), Microseconds(1500)),
        "      3s|2ms   |1.");
}

TEST(Format, PercentSignsAndAppending) {
    EXPECT_EQ(strFormat("100%%"), "100%");
    EXPECT_EQ(strFormat("ends in %"), "ends in ");
    EXPECT_EQ(strFormat(""), "");
    std::string out = "head:";
    out.reserve(100);
    const char* const buffer = out.data();
    strAppendFormat(out, "%s=%d", "n", 3);
    strAppendFormat(out, ";");
    EXPECT_EQ(out, "head:n=3;");
    EXPECT_EQ(out.data(), buffer);  // appended in place, not rebuilt
}

TEST(Format, MismatchesAreReportedAndWritePlaceholders) {
    testutil::FailureRecorder failures;
    EXPECT_EQ(strFormat("[%d]", "x"), "[0]");
    EXPECT_EQ(strFormat("[%s] rest", 5), "[] rest");
    EXPECT_EQ(strFormat("[%c|%p|%.1f|%5x]", true, 1.0, 'c', nullptr), "[?|(nil)|0.0|    0]");
    EXPECT_THAT(failures.takeMessages(),
                ElementsAre("core_varargs:249: ch=d format='[%d]'",
                            "core_varargs:336: ch=s format='[%s] rest'",
                            "core_varargs:412: ch=c format='[%c|%p|%.1f|%5x]'",
                            "core_varargs:504: ch=p format='[%c|%p|%.1f|%5x]'",
                            "core_varargs:349: ch=f format='[%c|%p|%.1f|%5x]'",
                            "core_varargs:311: ch=x format='[%c|%p|%.1f|%5x]'"));
    ASSERT_TRUE(testutil::FailureRecorder::failures().empty());

    // Every failure names the expression "CHECKF", the source and the line.
    EXPECT_EQ(strFormat("%s %s", "a"), "a ");
    ASSERT_EQ(testutil::FailureRecorder::failures().size(), 2u);
    const testutil::RecordedFailure& missing = testutil::FailureRecorder::failures()[0];
    EXPECT_EQ(missing.d_expr, "CHECKF");
    EXPECT_EQ(missing.d_file, "core_varargs");
    EXPECT_EQ(missing.d_line, 16);
    EXPECT_EQ(missing.d_severity, 0);
    EXPECT_EQ(missing.d_message, "core_varargs:480: ch=s format='%s %s'");
    const testutil::RecordedFailure& count = testutil::FailureRecorder::failures()[1];
    EXPECT_EQ(count.d_line, 462);
    EXPECT_EQ(count.d_message, "format='%s %s' args_in_format_string=2 args_in_parameter_pack=1");
    failures.takeMessages();

    // Left-over arguments are not written, and counted.
    EXPECT_EQ(strFormat("%d", 1, 2), "1");
    EXPECT_THAT(failures.takeMessages(),
                ElementsAre("format='%d' args_in_format_string=1 args_in_parameter_pack=2"));
}

TEST(Format, UnknownConversionsAndShortWidths) {
    testutil::FailureRecorder failures;
    // A conversion no type knows: the mismatch, then the unknown character.
    EXPECT_EQ(strFormat("<%k>", "x"), "<>");
    ASSERT_EQ(testutil::FailureRecorder::failures().size(), 2u);
    EXPECT_EQ(testutil::FailureRecorder::failures()[1].d_line, 35);
    EXPECT_EQ(testutil::FailureRecorder::failures()[1].d_message, "k");
    failures.takeMessages();

    // "S" narrower than 4 cuts the text and reports it.
    EXPECT_EQ(strFormat("%3S", "abcdef"), "abc");
    ASSERT_EQ(testutil::FailureRecorder::failures().size(), 1u);
    EXPECT_EQ(testutil::FailureRecorder::failures()[0].d_expr, "false");
    EXPECT_EQ(testutil::FailureRecorder::failures()[0].d_line, 65);
    failures.takeMessages();

    // A format cut inside a directive writes nothing more.
    EXPECT_EQ(strFormat("a%-", 1), "a");
    EXPECT_EQ(strFormat(nullptr), "");
    EXPECT_THAT(failures.takeMessages(), ElementsAre());
}

}  // namespace
}  // namespace core
