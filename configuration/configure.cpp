#include "configure.h"

#include <QApplication>
#include <QCoreApplication>
#include <QDialog>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "core_assert.h"
#include "core_v2masterlogger.h"
#include "cutl_environment.h"
#include "cutl_settingstrust.h"
#include "utl_fileutils.h"
#include "utl_inireader.h"
#include "utl_iniwriter.h"

namespace {

// Fixed numbers in the log that operators grep for: never __LINE__, which moves.
namespace configure_loc {
constexpr int k_CREATE_FOLDER = 34;
#ifdef _WIN32
constexpr int k_OWNER = 35;
#endif
}  // namespace configure_loc

#ifdef _WIN32
// The system's profile functions, and the installer that uses them, see
// only "key=value" entries.
constexpr utl::IniWriter::Form k_FORM = utl::IniWriter::e_PROFILE;
#else
constexpr utl::IniWriter::Form k_FORM = utl::IniWriter::e_PLAIN;
#endif

std::string toUtf8(const QString& s) {
    const QByteArray bytes = s.toUtf8();
    return std::string(bytes.constData(), static_cast<size_t>(bytes.size()));
}

QString fromUtf8(const std::string& s) {
    return QString::fromUtf8(s.data(), static_cast<int>(s.size()));
}

QLabel* leftLabel(const char* text) {
    auto* label = new QLabel(QString::fromUtf8(text));
    label->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    return label;
}

}  // namespace

ConfigurationTool::ConfigurationTool()
    : d_dialog(std::make_unique<QDialog>()),
      d_address(new QLineEdit(d_dialog.get())),
      d_port(new QLineEdit(d_dialog.get())),
      d_folder(cutl::productDataDir()),
      d_file(cutl::settingsFilePath()) {
    // The folder is the user's to fix: report it and still show the dialog.
#ifdef _WIN32
    // As the service makes it: owned by Administrators and written by them
    // and SYSTEM only; the settings file inherits that access list and is
    // the administrators' too, so the service trusts it.
    const std::string problem = cutl::protectDataFolder(d_folder);
    CHECKF_NOSTOP_AT(problem.empty(), "configure", configure_loc::k_CREATE_FOLDER, "%s: %s",
                     d_folder, problem);
    const std::string owner = cutl::ownNewFilesAsAdministrators();
    CHECKF_NOSTOP_AT(owner.empty(), "configure", configure_loc::k_OWNER, "%s", owner);
#else
    if (!utl::FileUtils::isDirectory(d_folder)) {
        CHECKF_NOSTOP_AT(utl::FileUtils::createDir(d_folder, true), "configure",
                         configure_loc::k_CREATE_FOLDER, "%s", d_folder);
    }
#endif
    utl::IniReader reader;
    if (reader.loadFromFile(d_file)) {
        reader.getString("NVR", "Address", &d_old_address);
        reader.getString("NVR", "Port", &d_old_port);
    }
    buildLayout();
    d_address->setText(fromUtf8(d_old_address));
    d_port->setText(fromUtf8(d_old_port));
}

ConfigurationTool::~ConfigurationTool() = default;

void ConfigurationTool::buildLayout() {
    auto* fields = new QGridLayout;
    fields->addWidget(leftLabel("NVR IP"), 0, 0);
    fields->addWidget(d_address, 0, 1);
    fields->addWidget(leftLabel("Port"), 1, 0);
    fields->addWidget(d_port, 1, 1);

    d_ok = new QPushButton(QApplication::tr("OK"));
    d_ok->setDefault(true);
    d_cancel = new QPushButton(QString::fromUtf8("Cancel"));
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(d_ok);
    buttons->addWidget(d_cancel);

    auto* column = new QVBoxLayout(d_dialog.get());
    column->addLayout(fields);
    column->addLayout(buttons);

    QObject::connect(d_ok, &QPushButton::clicked, d_dialog.get(), &QDialog::accept);
    QObject::connect(d_cancel, &QPushButton::clicked, d_dialog.get(), &QDialog::reject);
}

void ConfigurationTool::run() {
    finish(d_dialog->exec());
}

bool ConfigurationTool::finish(int dialogResult) {
    if (dialogResult != QDialog::Accepted) {
        return false;
    }
    const std::string address = toUtf8(d_address->text());
    const std::string port = toUtf8(d_port->text());
    if (address == d_old_address && port == d_old_port) {
        return false;  // unchanged: the service must see no change
    }
    if (!settingsText(address, port).saveToFile(d_file)) {
        return false;
    }
    LOG_NORM("ConfigurationTool::finish", "NVR connection changed from %s:%s to %s:%s",
             d_old_address, d_old_port, address, port);
    return true;
}

utl::IniWriter ConfigurationTool::settingsText(const std::string& address,
                                               const std::string& port) const {
    // Everything the dialog does not edit (the allow-lists of the service,
    // sections of other tools) is written back in its order.
    utl::IniReader reader;
    reader.loadFromFile(d_file);
    utl::IniWriter writer(k_FORM);
    bool wroteEndpoint = false;
    auto writeEndpoint = [&] {
        writer.addEntry("Address", address);
        writer.addEntry("Port", port);
        wroteEndpoint = true;
    };
    for (const auto& [section, keys] : reader.order()) {
        writer.addSection(section);
        const bool isNvr = section == "NVR";
        for (const std::string& key : keys) {
            if (isNvr && (key == "Address" || key == "Port")) {
                if (!wroteEndpoint) {
                    writeEndpoint();
                }
                continue;
            }
            std::string value;
            reader.getString(section, key, &value);
            writer.addEntry(key, value);
        }
        if (isNvr && !wroteEndpoint) {
            writeEndpoint();
        }
    }
    if (!wroteEndpoint) {
        writer.addSection("NVR");
        writeEndpoint();
    }
    return writer;
}

int configureMain(int argc, char** argv) {
    QCoreApplication::addLibraryPath(QString::fromUtf8("./3rdparty/qt5/plugins"));
    QApplication app(argc, argv);
    ConfigurationTool tool;
    tool.run();
    return 0;
}
