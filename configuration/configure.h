// configure.h                                                     -*-C++-*-
//
// The configuration tool: a dialog with which an administrator sets the NVR's
// address and port in the service's settings file.  'ConfigurationTool' runs
// the start-up steps (settings folder, old values, dialog), and on OK
// rewrites the file, atomically and only when something changed: section
// "NVR" gets "Address" then "Port", every other section and key is kept in
// its order.  The settings file is the one the service reads
// ('cutl::settingsFilePath').
//
// Thread safety: the GUI thread only.
#ifndef INCLUDED_CONFIGURE
#define INCLUDED_CONFIGURE

#include <memory>
#include <string>

#include "utl_iniwriter.h"

class QDialog;
class QLineEdit;
class QPushButton;

class ConfigurationTool {
  public:
    // CREATORS
    // Creates the dialog and its fields, makes sure the settings folder
    // exists, reads the old values and lays the dialog out with them.  A
    // QApplication must exist.
    ConfigurationTool();
    ~ConfigurationTool();
    ConfigurationTool(const ConfigurationTool&) = delete;
    ConfigurationTool& operator=(const ConfigurationTool&) = delete;

    // MANIPULATORS
    // Runs the dialog modally and saves on OK.
    void run();
    // Acts on the dialog's result: on acceptance writes the fields' values
    // when they differ from the old ones.  Answers whether the file was
    // written.
    bool finish(int dialogResult);

    // ACCESSORS
    QDialog& dialog() const { return *d_dialog; }
    QLineEdit& addressField() const { return *d_address; }
    QLineEdit& portField() const { return *d_port; }
    QPushButton& okButton() const { return *d_ok; }
    QPushButton& cancelButton() const { return *d_cancel; }
    const std::string& settingsFolder() const { return d_folder; }
    const std::string& settingsFile() const { return d_file; }
    const std::string& oldAddress() const { return d_old_address; }
    const std::string& oldPort() const { return d_old_port; }

  private:
    void buildLayout();
    // The settings file's sections with the NVR endpoint replaced.
    utl::IniWriter settingsText(const std::string& address, const std::string& port) const;

    std::unique_ptr<QDialog> d_dialog;
    QLineEdit* d_address;  // owned by the dialog
    QLineEdit* d_port;
    QPushButton* d_ok = nullptr;
    QPushButton* d_cancel = nullptr;
    std::string d_folder;
    std::string d_file;
    std::string d_old_address;
    std::string d_old_port;
};

// The program: plug-in path, application object, the tool.  Always 0.
int configureMain(int argc, char** argv);

#endif
