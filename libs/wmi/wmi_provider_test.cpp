// wmi_provider_test.cpp
//
// The provider as the process's "WMI installation": built from the
// environment when nobody holds one.  Deliveries, cancellation and the drop
// folder are driven through the COM surface in wmi_standin_test.cpp.
#include "wmi_standin.h"
#include "wmi_testutil.h"

#include "testsupport_logcapture.h"
#include "testsupport_service.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>

using namespace wmi;
using namespace wmi::standin;
using namespace wmi::test;

namespace {

// The environment chooses the repository, the rate and the drop folder of a
// provider built when nobody holds one.
TEST(StandInEnvironmentTest, VariablesSelectRepositoryRateAndFolder) {
    testutil::LogLines log;
    const std::string example = std::string(LUMIVAR_SOURCE_DIR) + "/docs/examples/doors.mof";
    setenv("LUMIVAR_WMI_REPOSITORY", example.c_str(), 1);
    setenv("LUMIVAR_WMI_EVENT_RATE", "0", 1);
    {
        std::shared_ptr<Provider> p = Provider::acquire();
        EXPECT_EQ(p, Provider::acquire());  // one provider while it is held
        ASSERT_NE(nullptr, p->repository()->findNamespace("root\\building"));
        ComScope com;
        Ref<IWbemLocator> locator;
        ASSERT_EQ(S_OK, createLocator(&locator));
        Ref<IWbemServices> services;
        ASSERT_EQ(S_OK, connect(locator.get(), "root\\Building", &services));
        std::vector<Ref<IWbemClassObject>> rows;
        ASSERT_EQ(S_OK, query(services.get(), "SELECT * FROM Bld_Door WHERE Locked = TRUE", &rows));
        ASSERT_EQ(1u, rows.size());
        EXPECT_EQ("Lab \"B\"", propertyText(rows[0].get(), "Name"));
        EXPECT_EQ("Bld_Door.Name=\"Lab \\\"B\\\"\"", propertyText(rows[0].get(), "__RELPATH"));
        Ref<IWbemClassObject> out;
        Bstr path = toBstr(propertyText(rows[0].get(), "__RELPATH"));
        Bstr demolish = toBstr("Demolish");
        EXPECT_EQ(WBEM_E_ACCESS_DENIED, services->ExecMethod(path.get(), demolish.get(), 0, nullptr,
                                                             nullptr, out.out(), nullptr));
        auto* sink = new RecordingSink("Door");
        Bstr lang = toBstr("WQL");
        Bstr q = toBstr("SELECT * FROM Bld_SecretAlarm");
        EXPECT_EQ(WBEM_E_ACCESS_DENIED,
                  services->ExecNotificationQueryAsync(lang.get(), q.get(), 0x80, nullptr, sink));
        sink->Release();
    }
    EXPECT_EQ(0, liveObjects());
    // A broken file leaves an empty repository and says why.
    const std::string broken = (std::filesystem::temp_directory_path() /
                                ("wmi_broken_" + std::to_string(getpid()) + ".mof"))
                                   .string();
    std::ofstream(broken) << "class A {\n  uint32 X = -1;\n};\n";
    setenv("LUMIVAR_WMI_REPOSITORY", broken.c_str(), 1);
    setenv("LUMIVAR_WMI_EVENT_RATE", "fast", 1);
    {
        std::shared_ptr<Provider> p = Provider::acquire();
        EXPECT_TRUE(p->repository()->d_namespaces.empty());
        p->setEventRate(0);
    }
    EXPECT_TRUE(log.contains("Refused WMI repository '" + broken +
                             "': line 2, column 14: value -1 is not a valid uint32"));
    EXPECT_TRUE(log.contains("Ignored LUMIVAR_WMI_EVENT_RATE 'fast'"));
    setenv("LUMIVAR_WMI_REPOSITORY", "/nonexistent/x.mof", 1);
    Provider::acquire()->setEventRate(0);
    EXPECT_TRUE(
        log.contains("Refused WMI repository '/nonexistent/x.mof': cannot read "
                     "/nonexistent/x.mof"));
    std::filesystem::remove(broken);
    unsetenv("LUMIVAR_WMI_REPOSITORY");
    unsetenv("LUMIVAR_WMI_EVENT_RATE");
    // Unset, the embedded sample is loaded; the drop folder is watched.
    const std::filesystem::path dir =
        std::filesystem::temp_directory_path() / ("wmi_env_drop_" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    std::ofstream(dir / "x.mof") << "instance of Nothing { };";
    setenv("LUMIVAR_WMI_EVENT_DIR", dir.c_str(), 1);
    std::shared_ptr<Provider> p = Provider::acquire();
    unsetenv("LUMIVAR_WMI_EVENT_DIR");
    p->setEventRate(0);
    EXPECT_NE(nullptr, p->repository()->findNamespace("root\\AccessControl"));
    EXPECT_TRUE(testutil::waitFor([&] { return std::filesystem::exists(dir / "x.bad"); },
                                  std::chrono::seconds(10)));
    p.reset();
    std::filesystem::remove_all(dir);
}

}  // namespace
