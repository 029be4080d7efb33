#include "configure.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QApplication>
#include <QDialog>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <cstdlib>
#include <fstream>

#include "testsupport_logcapture.h"
#include "testsupport_tempdir.h"
#include "utl_fileutils.h"
#include "utl_inireader.h"

// Qt's offscreen platform keeps its screen objects past the application's
// end; only allocations made inside Qt are excused.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libQt5Core.so\nleak:libQt5Gui.so\nleak:libQt5Widgets.so\n"
           "leak:libqoffscreen.so\n";
}

namespace {

QApplication& application() {
    static int argc = 1;
    static char name[] = "lv_configuration_test";
    static char* argv[] = {name, nullptr};
    qputenv("QT_QPA_PLATFORM", "offscreen");
    static QApplication s_app(argc, argv);
    return s_app;
}

class ConfigurationToolTest : public ::testing::Test {
  protected:
    void SetUp() override {
        application();
        ::setenv("PROGRAMDATA", d_root.path().c_str(), 1);
    }
    void TearDown() override { ::unsetenv("PROGRAMDATA"); }

    std::string folder() const { return d_root / "Tessarin/Lumivar"; }
    std::string file() const { return folder() + "/Settings"; }
    void writeSettings(const std::string& text) {
        ASSERT_TRUE(utl::FileUtils::createDir(folder(), true));
        std::ofstream(file()) << text;
    }
    std::string settings() const {
        std::string out;
        utl::FileUtils::readFile(file(), &out);
        return out;
    }
    static void type(QLineEdit& field, const char* text) {
        field.selectAll();
        QTest::keyClicks(&field, QString::fromUtf8(text));
    }
    // Shows the dialog, lets the user press 'button' and answers the result.
    static int press(ConfigurationTool& tool, QPushButton& button) {
        tool.dialog().show();
        QTest::mouseClick(&button, Qt::LeftButton);
        return tool.dialog().result();
    }

    testutil::TempDir d_root;
};

TEST_F(ConfigurationToolTest, ShowsTheOldValuesAndOkWithoutChangesWritesNothing) {
    writeSettings("[NVR]\nAddress 10.0.0.5\nPort 5000\n");
    struct stat before {};
    ASSERT_EQ(::stat(file().c_str(), &before), 0);

    ConfigurationTool tool;
    EXPECT_EQ(tool.settingsFile(), file());
    EXPECT_EQ(tool.addressField().text(), "10.0.0.5");
    EXPECT_EQ(tool.portField().text(), "5000");
    EXPECT_TRUE(tool.okButton().isDefault());
    EXPECT_EQ(tool.okButton().text(), "OK");
    EXPECT_EQ(tool.cancelButton().text(), "Cancel");

    // Typing the same text again is no change either.
    testutil::LogLines log{testutil::LogLines::e_KEEP_GOING};
    core::MasterLogger::enable(core::LOG_NORM);
    type(tool.portField(), "5000");
    EXPECT_EQ(press(tool, tool.okButton()), QDialog::Accepted);
    EXPECT_FALSE(tool.finish(tool.dialog().result()));

    struct stat after {};
    ASSERT_EQ(::stat(file().c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_EQ(after.st_mtim.tv_sec, before.st_mtim.tv_sec);
    EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
    EXPECT_EQ(log.count("NVR connection changed"), 0);
}

TEST_F(ConfigurationToolTest, ChangingThePortKeepsEverySectionItDoesNotEdit) {
    writeSettings(
        "# written by hand\n[Other]\nKey 1\n\n[NVR]\nPort = 5000\nExtra yes\n"
        "Address = 10.0.0.5 ; main\n[Security]\nNamespaces=root\\AccessControl\n"
        "Methods=\"Door.Unlock, Door.Lock\"\n");
    testutil::LogLines log{testutil::LogLines::e_KEEP_GOING};
    core::MasterLogger::enable(core::LOG_NORM);
    ConfigurationTool tool;
    EXPECT_EQ(tool.addressField().text(), "10.0.0.5");
    type(tool.portField(), "6000");
    EXPECT_EQ(press(tool, tool.okButton()), QDialog::Accepted);
    EXPECT_TRUE(tool.finish(tool.dialog().result()));
    EXPECT_EQ(settings(),
              "[Other]\nKey 1\n\n[NVR]\nAddress 10.0.0.5\nPort 6000\nExtra yes\n\n"
              "[Security]\nNamespaces root\\AccessControl\nMethods \"Door.Unlock, Door.Lock\"\n");
    EXPECT_EQ(log.count("ConfigurationTool::finish - NVR connection changed from 10.0.0.5:5000 "
                        "to 10.0.0.5:6000",
                        core::LOG_NORM),
              1);
    struct stat st {};
    ASSERT_EQ(::stat(file().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST_F(ConfigurationToolTest, WithoutAFileTheFieldsStartEmptyAndOkCreatesIt) {
    ASSERT_FALSE(utl::FileUtils::exists(folder()));
    ConfigurationTool tool;
    EXPECT_TRUE(utl::FileUtils::isDirectory(folder()));  // made with its parents
    EXPECT_TRUE(tool.addressField().text().isEmpty());
    EXPECT_TRUE(tool.portField().text().isEmpty());

    // Values are written as entered, spaces quoted so they read back whole.
    type(tool.addressField(), "nvr host");
    type(tool.portField(), "70000");
    EXPECT_EQ(press(tool, tool.okButton()), QDialog::Accepted);
    EXPECT_TRUE(tool.finish(tool.dialog().result()));
    EXPECT_EQ(settings(), "[NVR]\nAddress \"nvr host\"\nPort 70000\n");
    utl::IniReader reader;
    ASSERT_TRUE(reader.loadFromFile(file()));
    std::string address;
    EXPECT_TRUE(reader.getString("NVR", "Address", &address));
    EXPECT_EQ(address, "nvr host");

    // The next start shows what was saved.
    ConfigurationTool again;
    EXPECT_EQ(again.addressField().text(), "nvr host");
    EXPECT_EQ(again.portField().text(), "70000");
}

TEST_F(ConfigurationToolTest, TheModalRunSavesOnOkAndNotOnCancel) {
    writeSettings("[NVR]\nAddress 10.0.0.5\nPort 5000\n");
    {
        ConfigurationTool tool;
        QTimer::singleShot(0, [&] {
            type(tool.addressField(), "10.0.0.7");
            QTest::mouseClick(&tool.cancelButton(), Qt::LeftButton);
        });
        tool.run();
        EXPECT_EQ(settings(), "[NVR]\nAddress 10.0.0.5\nPort 5000\n");
    }
    ConfigurationTool tool;
    QTimer::singleShot(0, [&] {
        type(tool.addressField(), "10.0.0.7");
        QTest::keyClick(&tool.addressField(), Qt::Key_Return);  // the default button
    });
    tool.run();
    EXPECT_EQ(settings(), "[NVR]\nAddress 10.0.0.7\nPort 5000\n");
}

TEST_F(ConfigurationToolTest, AFolderThatCannotBeMadeIsReportedAndTheDialogStillShows) {
    testutil::LogLines log{testutil::LogLines::e_KEEP_GOING};
    core::Assert::setStopOnFailedCheck(true);  // the check must not stop the tool
    std::ofstream(d_root / "Tessarin") << "a file where a folder belongs";
    ConfigurationTool tool;
    EXPECT_EQ(log.count("GASSERT failed at configure:34 (CHECKF) (" + folder() + ")"), 1);
    type(tool.addressField(), "10.0.0.5");
    EXPECT_EQ(press(tool, tool.okButton()), QDialog::Accepted);
    EXPECT_FALSE(tool.finish(tool.dialog().result()));
    EXPECT_EQ(log.count("GASSERT failed at utl_file:890"), 1);
}

}  // namespace
