// The dialog and the running service together: the service sees the file the
// dialog writes and moves to the new NVR.

#include <signal.h>
#include <stdlib.h>

#include <QApplication>
#include <QDialog>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

#include <gtest/gtest.h>

#include "configure.h"
#include "testsupport_service.h"
#include "testsupport_tempdir.h"

// Qt's offscreen platform keeps its screen objects past the application's
// end; only allocations made inside Qt are excused.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libQt5Core.so\nleak:libQt5Gui.so\nleak:libQt5Widgets.so\n"
           "leak:libqoffscreen.so\n";
}

namespace {

using testutil::Millis;

TEST(ConfigurationWithService, TheServiceFollowsTheDialogToTheNewNvr) {
    testutil::TempDir dir;
    const std::string programData = dir / "data";
    testutil::FakeNvr first;
    testutil::FakeNvr second;
    testutil::writeSettings(programData, "127.0.0.1", first.port());
    // Started before the application object, so no Qt thread sees the fork.
    testutil::Process service({testutil::binaryPath("TessarinLumivar"), "console"},
                              {{"PROGRAMDATA", programData}, {"LUMIVAR_WMI_EVENT_RATE", "0"}},
                              dir / "out.txt");
    ASSERT_TRUE(first.accept(Millis(10000)));

    ::setenv("PROGRAMDATA", programData.c_str(), 1);
    qputenv("QT_QPA_PLATFORM", "offscreen");
    int argc = 1;
    char name[] = "lv_configuration_service_test";
    char* argv[] = {name, nullptr};
    QApplication app(argc, argv);
    {
        ConfigurationTool tool;
        EXPECT_EQ(tool.portField().text().toStdString(), std::to_string(first.port()));
        tool.portField().selectAll();
        QTest::keyClicks(&tool.portField(), QString::number(second.port()));
        tool.dialog().show();
        QTest::mouseClick(&tool.okButton(), Qt::LeftButton);
        EXPECT_TRUE(tool.finish(tool.dialog().result()));
    }

    // The watch closes the old link within a second or so; the new endpoint
    // is tried at the next connect, ten seconds after the change.
    EXPECT_TRUE(first.waitClosed(Millis(5000)));
    ASSERT_TRUE(second.accept(Millis(20000)));
    second.send(testutil::statusRequest());
    Message reply;
    ASSERT_TRUE(second.receive(&reply, Millis(5000)));
    EXPECT_EQ(reply.action, e_ACTION_STATUS);
    EXPECT_TRUE(service.running());

    const std::string log = programData + "/Tessarin/Lumivar/Logs/wrapper.log";
    EXPECT_TRUE(testutil::waitFor(
        [&] {
            return testutil::readFile(log).find("Connection to NVR up") !=
                   testutil::readFile(log).rfind("Connection to NVR up");
        },
        Millis(10000)))
        << testutil::readFile(log);
    const std::string text = testutil::readFile(log);
    EXPECT_NE(text.find("Configuration changed, closing old TCP connection"), std::string::npos);
    EXPECT_EQ(text.find("Connection to NVR Down"), std::string::npos);
    service.signal(SIGKILL);
    service.wait(Millis(5000));
}

}  // namespace
