// wmi_sample_test.cpp
//
// The embedded sample answers the queries an access event's enrichment
// makes, its photos are valid images and its generator raises events.
#include "wmi_standin.h"
#include "wmi_testutil.h"

#include <gtest/gtest.h>
#include <zlib.h>

using namespace wmi;
using namespace wmi::standin;
using namespace wmi::test;

namespace {

// Checks the PNG structure: signature, chunk CRCs, IHDR, and that the image
// data inflates to exactly the rows the header announces.
bool validPng(const std::vector<uint8_t>& png, std::string* why) {
    static const uint8_t k_SIG[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    if (png.size() < 8 || !std::equal(k_SIG, k_SIG + 8, png.begin())) {
        *why = "signature";
        return false;
    }
    auto be32 = [&](size_t at) {
        return (uint32_t(png[at]) << 24) | (uint32_t(png[at + 1]) << 16) |
               (uint32_t(png[at + 2]) << 8) | png[at + 3];
    };
    size_t pos = 8;
    uint32_t width = 0, height = 0;
    std::vector<uint8_t> idat;
    bool end = false;
    while (pos + 12 <= png.size()) {
        const uint32_t len = be32(pos);
        const std::string type(png.begin() + pos + 4, png.begin() + pos + 8);
        if (pos + 12 + len > png.size()) {
            *why = "chunk length";
            return false;
        }
        if (crc32(0, png.data() + pos + 4, len + 4) != be32(pos + 8 + len)) {
            *why = "crc of " + type;
            return false;
        }
        if (type == "IHDR") {
            width = be32(pos + 8);
            height = be32(pos + 12);
            if (png[pos + 16] != 8 || png[pos + 17] != 2) {
                *why = "pixel format";
                return false;
            }
        } else if (type == "IDAT") {
            idat.insert(idat.end(), png.begin() + pos + 8, png.begin() + pos + 8 + len);
        } else if (type == "IEND") {
            end = true;
        }
        pos += 12 + len;
    }
    std::vector<uint8_t> raw((width * 3 + 1) * height + 1);
    uLongf rawSize = static_cast<uLongf>(raw.size());
    if (!end || width == 0 ||
        uncompress(raw.data(), &rawSize, idat.data(), static_cast<uLong>(idat.size())) != Z_OK ||
        rawSize != (width * 3 + 1) * height) {
        *why = "image data";
        return false;
    }
    return true;
}

std::vector<uint8_t> bytesOf(IWbemClassObject* obj, const char* name) {
    std::vector<uint8_t> out;
    VARIANT v;
    VariantInit(&v);
    Bstr n = toBstr(name);
    if (FAILED(obj->Get(n.get(), 0, &v, nullptr, nullptr)) || v.vt != (VT_ARRAY | VT_UI1)) {
        return out;
    }
    LONG lo = 0, hi = -1;
    SafeArrayGetLBound(v.parray, 1, &lo);
    SafeArrayGetUBound(v.parray, 1, &hi);
    for (LONG i = lo; i <= hi; ++i) {
        BYTE b;
        SafeArrayGetElement(v.parray, &i, &b);
        out.push_back(b);
    }
    VariantClear(&v);
    return out;
}

class SampleTest : public ::testing::Test {
  protected:
    void SetUp() override {
        d_provider = Provider::acquire();
        d_provider->setEventRate(0);
        d_provider->loadDefaultRepository();
        ASSERT_EQ(S_OK, createLocator(&d_locator));
        ASSERT_EQ(S_OK, connect(d_locator.get(), "\\\\.\\root\\AccessControl", &d_services));
    }
    void TearDown() override {
        d_services.reset();
        d_locator.reset();
        d_provider.reset();
        EXPECT_EQ(0, liveObjects());
        EXPECT_EQ(0, liveStrings());
        EXPECT_EQ(0, liveArrays());
    }
    ComScope d_com;
    std::shared_ptr<Provider> d_provider;
    Ref<IWbemLocator> d_locator;
    Ref<IWbemServices> d_services;
};

TEST_F(SampleTest, EveryBadgeLeadsToItsHolderAndMostToAPhoto) {
    std::vector<Ref<IWbemClassObject>> badges;
    ASSERT_EQ(S_OK, query(d_services.get(), "SELECT * FROM Lnl_Badge", &badges));
    ASSERT_EQ(50u, badges.size());
    std::vector<Ref<IWbemClassObject>> persons;
    ASSERT_EQ(S_OK, query(d_services.get(), "SELECT * FROM Lnl_Person", &persons));
    EXPECT_EQ(40u, persons.size());
    int withPerson = 0;
    int withPhoto = 0;
    for (const auto& badge : badges) {
        // The three lookups of an access event's enrichment, worded as built.
        const std::string card = propertyText(badge.get(), "id");
        std::vector<Ref<IWbemClassObject>> rows;
        ASSERT_EQ(S_OK, query(d_services.get(), "SELECT * FROM Lnl_Badge WHERE id = '" + card + "'",
                              &rows));
        ASSERT_EQ(1u, rows.size()) << card;
        const std::string person = propertyText(rows[0].get(), "personid");
        ASSERT_EQ(S_OK, query(d_services.get(),
                              "SELECT * FROM Lnl_MultimediaObject WHERE PersonID = '" + person +
                                  "' AND DataType = '0' AND ObjectType = '1'",
                              &rows));
        if (!rows.empty()) {
            ++withPhoto;
            std::string why;
            EXPECT_TRUE(validPng(bytesOf(rows[0].get(), "Data"), &why)) << person << ": " << why;
            EXPECT_EQ(1u, rows.size());
        }
        ASSERT_EQ(S_OK, query(d_services.get(),
                              "SELECT * FROM Lnl_Person WHERE ID = '" + person + "'", &rows));
        if (!rows.empty()) {
            ++withPerson;
            EXPECT_NE("<null>", propertyText(rows[0].get(), "firstname"));
            EXPECT_NE("<null>", propertyText(rows[0].get(), "lastname"));
            EXPECT_EQ(11u, propertyText(rows[0].get(), "ssno").size());
        }
    }
    EXPECT_EQ(49, withPerson);  // one badge's holder is not on file
    EXPECT_GT(withPhoto, 35);
    EXPECT_LT(withPhoto, 49);
}

TEST_F(SampleTest, DeviceMethodsBehaveAsDocumented) {
    HRESULT hr;
    Ref<IWbemClassObject> cls;
    Bstr path = toBstr("Sample_Controller");
    ASSERT_EQ(S_OK, d_services->GetObject(path.get(), 0, nullptr, cls.out(), nullptr));
    Ref<IWbemClassObject> sig, in, out;
    Bstr add = toBstr("Add");
    ASSERT_EQ(S_OK, cls->GetMethod(add.get(), 0, sig.out(), nullptr));
    ASSERT_EQ(S_OK, sig->SpawnInstance(0, in.out()));
    for (auto [name, value] : {std::pair{"A", 40}, std::pair{"B", 2}}) {
        VARIANT v;
        VariantInit(&v);
        v.vt = VT_I4;
        v.lVal = value;
        Bstr n = toBstr(name);
        ASSERT_EQ(S_OK, in->Put(n.get(), 0, &v, 0));
    }
    Bstr target = toBstr("Sample_Controller.ID=2");
    hr = d_services->ExecMethod(target.get(), add.get(), 0, nullptr, in.get(), out.out(), nullptr);
    ASSERT_EQ(S_OK, hr);
    EXPECT_EQ("42", propertyText(out.get(), "Sum"));
    EXPECT_EQ("0", propertyText(out.get(), "ReturnValue"));

    Bstr door = toBstr("Sample_Door.Name=\"Server Room\"");
    Bstr open = toBstr("Open");
    Ref<IWbemClassObject> doorClass, openSig, openIn;
    Bstr doorPath = toBstr("Sample_Door");
    ASSERT_EQ(S_OK, d_services->GetObject(doorPath.get(), 0, nullptr, doorClass.out(), nullptr));
    ASSERT_EQ(S_OK, doorClass->GetMethod(open.get(), 0, openSig.out(), nullptr));
    ASSERT_EQ(S_OK, openSig->SpawnInstance(0, openIn.out()));
    VARIANT secs;
    VariantInit(&secs);
    secs.vt = VT_BSTR;
    secs.bstrVal = toBstr("5").release();
    Bstr seconds = toBstr("Seconds");
    ASSERT_EQ(S_OK, openIn->Put(seconds.get(), 0, &secs, 0));
    VariantClear(&secs);
    ASSERT_EQ(S_OK, d_services->ExecMethod(door.get(), open.get(), 0, nullptr, openIn.get(),
                                           out.out(), nullptr));
    EXPECT_EQ("Door 'Server Room' opened for 5 s", propertyText(out.get(), "Status"));
    EXPECT_EQ("0", propertyText(out.get(), "ReturnValue"));
}

TEST_F(SampleTest, GeneratorRaisesAccessEventsForKnownAndUnknownCards) {
    auto* sink = new RecordingSink("CardNumber");
    Bstr lang = toBstr("WQL");
    Bstr q = toBstr("SELECT * FROM Lnl_AccessEvent");
    ASSERT_EQ(S_OK,
              d_services->ExecNotificationQueryAsync(lang.get(), q.get(), 0x80, nullptr, sink));
    d_provider->setEventRate(2000);
    ASSERT_TRUE(sink->waitFor(40));
    d_provider->setEventRate(0);
    ASSERT_TRUE(d_provider->waitForDeliveries(std::chrono::seconds(10)));
    int known = 0;
    for (const auto& d : sink->deliveries()) {
        ASSERT_EQ(1u, d.d_values.size());
        std::vector<Ref<IWbemClassObject>> rows;
        ASSERT_EQ(S_OK, query(d_services.get(),
                              "SELECT * FROM Lnl_Badge WHERE id = '" + d.d_values[0] + "'", &rows));
        known += rows.empty() ? 0 : 1;
    }
    const int total = static_cast<int>(sink->deliveries().size());
    EXPECT_GT(known, 0);
    EXPECT_LE(known, total);
    EXPECT_EQ(S_OK, d_services->CancelAsyncCall(sink));
    sink->Release();
}

// An access event names a reader that is a door of the sample, with that
// door's reader number, and is granted exactly when its card is on file.
TEST_F(SampleTest, GeneratedEventsUseTheSamplesDoorsAndBadges) {
    const std::shared_ptr<const Repository> repo = d_provider->repository();
    const Namespace& ns = *repo->findNamespace("root\\AccessControl");
    std::mt19937 random(7);
    for (uint64_t serial = 1; serial <= 30; ++serial) {
        const std::shared_ptr<const Instance> event = sampleAccessEvent(ns, random, serial);
        ASSERT_TRUE(event);
        auto text = [&](const char* name) {
            return scalarText(event->d_values[event->d_class->findProperty(name)].d_items[0]);
        };
        std::vector<Ref<IWbemClassObject>> rows;
        ASSERT_EQ(S_OK, query(d_services.get(),
                              "SELECT * FROM Sample_Door WHERE Name = '" + text("ReaderName") + "'",
                              &rows));
        ASSERT_EQ(1u, rows.size()) << text("ReaderName");
        EXPECT_EQ(text("ReaderID"), propertyText(rows[0].get(), "ReaderID"));
        ASSERT_EQ(S_OK, query(d_services.get(),
                              "SELECT * FROM Lnl_Badge WHERE ID = " + text("CardNumber"), &rows));
        EXPECT_EQ(rows.empty() ? "FALSE" : "TRUE", text("Granted"));
        EXPECT_EQ(std::to_string(serial), text("SerialNumber"));
    }
    EXPECT_FALSE(sampleAccessEvent(Namespace(), random, 1));
}

TEST(SamplePortraitTest, PortraitsAreValidAndDiffer) {
    std::string why;
    const std::vector<uint8_t> a = samplePortrait(1);
    EXPECT_TRUE(validPng(a, &why)) << why;
    EXPECT_NE(a, samplePortrait(2));
    EXPECT_EQ(a, samplePortrait(1));
    EXPECT_LT(a.size(), 2000u);
}

}  // namespace
