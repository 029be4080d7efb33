// The service binary's log file: written under the data folder and rotated
// once it has grown past its size limit.

#include <signal.h>

#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>

#include "testsupport_service.h"
#include "testsupport_tempdir.h"

namespace {

using testutil::Millis;

TEST(ServiceLog, AFullLogIsRotatedAndANewOneStarted) {
    testutil::TempDir dir;
    testutil::FakeNvr nvr;
    const std::string programData = dir / "data";
    const std::string logs = programData + "/Tessarin/Lumivar/Logs";
    const std::string log = logs + "/wrapper.log";
    const std::string old = log + ".old";
    testutil::writeSettings(programData, "127.0.0.1", nvr.port());
    // A log left at the limit by an earlier run, and an older rotated one.
    std::filesystem::create_directories(logs);
    const std::string earlier(5000000, 'e');
    std::ofstream(log, std::ios::binary) << earlier;
    std::ofstream(old, std::ios::binary) << "oldest";

    testutil::Process service({testutil::binaryPath("TessarinLumivar"), "console"},
                              {{"PROGRAMDATA", programData}, {"LUMIVAR_WMI_EVENT_RATE", "0"}},
                              dir / "out.txt");
    ASSERT_TRUE(nvr.accept(Millis(10000)));
    // Each namespace connect logs a line; lines keep coming until both files
    // are in place.
    auto rotated = [&] {
        nvr.send(testutil::namespaceRequest("root\\AccessControl"));
        std::error_code ec;
        return std::filesystem::file_size(old, ec) > earlier.size() && !ec &&
               testutil::readFile(log).find("Connected to namespace") != std::string::npos;
    };
    EXPECT_TRUE(testutil::waitFor(rotated, Millis(20000)));
    // The rotated file holds the earlier contents and the lines of the flush
    // that crossed the limit; the new one only lines of this run.
    const std::string current = testutil::readFile(log);
    EXPECT_LT(current.size(), 100000u);
    EXPECT_EQ(current.find("eeee"), std::string::npos);
    EXPECT_EQ(current.find('\n'), 0u);
    const std::string previous = testutil::readFile(old);
    EXPECT_EQ(previous.compare(0, earlier.size(), earlier), 0);
    EXPECT_EQ(previous.substr(earlier.size(), 1), "\n");
    service.signal(SIGKILL);
    service.wait(Millis(5000));
}

// The NVR's names reach the log escaped and cut: a namespace holding a line
// break is refused and cannot forge a line, the longest name a request may hold costs a few
// hundred bytes, and a million-byte name is refused in a line of its own.
TEST(ServiceLog, NvrNamesCannotForgeLinesOrFillTheLog) {
    testutil::TempDir dir;
    testutil::FakeNvr nvr;
    const std::string programData = dir / "data";
    const std::string log = programData + "/Tessarin/Lumivar/Logs/wrapper.log";
    testutil::writeSettings(programData, "127.0.0.1", nvr.port());
    testutil::Process service({testutil::binaryPath("TessarinLumivar"), "console"},
                              {{"PROGRAMDATA", programData}, {"LUMIVAR_WMI_EVENT_RATE", "0"}},
                              dir / "out.txt");
    ASSERT_TRUE(nvr.accept(Millis(10000)));
    const std::string forged = "\n2024-01-15 08:05:09 [INFO] {0} Client::forged - yes";
    nvr.send(testutil::namespaceRequest("root\\AccessControl"));
    nvr.send(testutil::executeRequest("Lnl_Door", std::string(60000, 'm'), {}, {}));
    nvr.send(testutil::namespaceRequest(std::string(1000000, 'n')));
    nvr.send(testutil::namespaceRequest("root\\AccessControl" + forged));
    // Lines are written in order: this one comes after the others.
    nvr.send(testutil::namespaceRequest("\\\\.\\root\\AccessControl"));
    ASSERT_TRUE(testutil::waitFor(
        [&] {
            return testutil::readFile(log).find(
                       "Connected to namespace '\\\\.\\root\\AccessControl'") != std::string::npos;
        },
        Millis(20000)));
    const std::string text = testutil::readFile(log);
    EXPECT_EQ(text.find(forged), std::string::npos);
    EXPECT_NE(text.find("refused: its namespace holds a control character"), std::string::npos);
    EXPECT_NE(text.find("Executing method '" + std::string(256, 'm') +
                        "\xE2\x80\xA6(60000 bytes)' on class 'Lnl_Door'"),
              std::string::npos);
    EXPECT_LT(text.size(), 20000u);
    service.signal(SIGKILL);
    service.wait(Millis(5000));
}

}  // namespace
