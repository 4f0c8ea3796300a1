#include "platform/hid/Hid.h"
#include "support/TempDir.h"
#include "support/Unprivileged.h"

#include <QString>
#include <QtGlobal>
#include <cstdlib>
#include <functional>
#include <gtest/gtest.h>
#include <ostream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;

struct KindCase {
    const char* name;
    const char* text;
    std::optional<hid::BackendKind> expected;
};

// Names the row in test output instead of dumping its bytes.
void PrintTo(const KindCase& row, std::ostream* out) { *out << row.name; }

const KindCase kKinds[] = {
    {"Auto", "auto", hid::BackendKind::Automatic},
    {"Hidraw", "hidraw", hid::BackendKind::Hidraw},
    {"Iio", "iio", hid::BackendKind::Iio},
    {"Evdev", "evdev", hid::BackendKind::Evdev},
    {"Replay", "replay", hid::BackendKind::Replay},
    {"None", "none", hid::BackendKind::None},
    {"AnyCase", "HidRaw", hid::BackendKind::Hidraw},
    {"Empty", "", std::nullopt},
    {"Unknown", "usb", std::nullopt},
    {"TrailingSpace", "iio ", std::nullopt},
};

class BackendKindTest : public ::testing::TestWithParam<KindCase> {};

TEST_P(BackendKindTest, Parses) { EXPECT_EQ(hid::parseBackendKind(GetParam().text), GetParam().expected); }

INSTANTIATE_TEST_SUITE_P(Names, BackendKindTest, ::testing::ValuesIn(kKinds),
                         [](const auto& info) { return std::string(info.param.name); });

// Sets the sensor variables for one test and restores them afterwards.
class EnvironmentTest : public ::testing::Test {
protected:
    static constexpr const char* kNames[] = {"THWACKO_SENSOR", "THWACKO_SENSOR_ROOT", "THWACKO_SENSOR_REPLAY"};

    EnvironmentTest()
    {
        for (const char* name : kNames) {
            const char* value = std::getenv(name);
            saved.emplace_back(value ? std::optional<std::string>(value) : std::nullopt);
            ::unsetenv(name);
        }
    }
    ~EnvironmentTest() override
    {
        for (std::size_t i = 0; i < saved.size(); ++i) {
            if (saved[i]) {
                ::setenv(kNames[i], saved[i]->c_str(), 1);
            } else {
                ::unsetenv(kNames[i]);
            }
        }
    }

    std::vector<std::optional<std::string>> saved;
};

TEST_F(EnvironmentTest, DefaultsToAutomaticOnTheSystemRootWithTheBundledRecording)
{
    const hid::BackendConfig config = hid::backendConfigFromEnvironment(fs::path("/opt/thwacko/resources"));
    EXPECT_EQ(config.kind, hid::BackendKind::Automatic);
    EXPECT_EQ(config.root, "/");
    EXPECT_EQ(config.replayFile, "/opt/thwacko/resources/sensor/knocks.replay");

    EXPECT_EQ(hid::backendConfigFromEnvironment(std::nullopt).replayFile, "");
}

TEST_F(EnvironmentTest, VariablesOverrideTheDefaults)
{
    ::setenv("THWACKO_SENSOR", "replay", 1);
    ::setenv("THWACKO_SENSOR_ROOT", "/tmp/fake-root", 1);
    ::setenv("THWACKO_SENSOR_REPLAY", "/tmp/slaps.replay", 1);
    const hid::BackendConfig config = hid::backendConfigFromEnvironment(fs::path("/opt/thwacko/resources"));
    EXPECT_EQ(config.kind, hid::BackendKind::Replay);
    EXPECT_EQ(config.root, "/tmp/fake-root");
    EXPECT_EQ(config.replayFile, "/tmp/slaps.replay");
}

TEST_F(EnvironmentTest, UnknownOrEmptyKindMeansAutomatic)
{
    for (const char* kind : {"bluetooth", ""}) {
        ::setenv("THWACKO_SENSOR", kind, 1);
        EXPECT_EQ(hid::backendConfigFromEnvironment(std::nullopt).kind, hid::BackendKind::Automatic) << kind;
    }
}

std::int64_t integerProperty(hid::Backend& backend, hid::ServiceId service, const char* key)
{
    const auto properties = backend.properties(service);
    if (!properties || !properties->count(key)) {
        return -1;
    }
    return std::get<std::int64_t>(properties->at(key));
}

TEST(FactoryTest, AutomaticListsHidrawBeforeIio)
{
    testsupport::TempDir root;
    root.write("sys/class/hidraw/hidraw0/device/report_descriptor", std::string("\x05\x01\x09\x06\xA1\x01\xC0", 7));
    root.mkdir("dev");
    ASSERT_EQ(::mkfifo((root.path() / "dev/hidraw0").c_str(), 0600), 0);
    const fs::path iio = root.mkdir("sys/bus/iio/devices/iio:device0");
    for (const char* file : {"in_accel_x_raw", "in_accel_y_raw", "in_accel_z_raw"}) {
        root.write(iio / file, "0\n");
    }
    root.write(iio / "in_accel_scale", "0.01\n");

    auto backend = hid::makeBackend({hid::BackendKind::Automatic, root.path().string(), ""});
    std::vector<hid::ServiceId> services;
    ASSERT_EQ(backend->matchingServices(hid::kSensorServiceClass, services), hid::kSuccess);
    ASSERT_EQ(services.size(), 2u);
    EXPECT_EQ(integerProperty(*backend, services[0], hid::kPrimaryUsagePageKey), 0x01); // the keyboard
    EXPECT_EQ(integerProperty(*backend, services[1], hid::kPrimaryUsagePageKey), 0xFF00);
    EXPECT_EQ(integerProperty(*backend, services[1], hid::kPrimaryUsageKey), 3);

    auto device = backend->createDevice(services[1]);
    ASSERT_TRUE(device);
    EXPECT_EQ(device->open(), hid::kSuccess);
    device->close();
    EXPECT_FALSE(backend->properties(services[1] + (hid::ServiceId{5} << 56)));
}

std::string productOf(hid::Backend& backend, hid::ServiceId service)
{
    const auto properties = backend.properties(service);
    return properties && properties->count("Product") ? std::get<std::string>(properties->at("Product")) : "";
}

TEST(FactoryTest, AutomaticOrdersBufferThenInputDeviceThenPollingAndSaysWhich)
{
    testsupport::TempDir root;
    root.mkdir("dev/input");
    const auto accelerometer = [&](int number, const std::string& name, bool buffered) {
        const fs::path iio = root.mkdir("sys/bus/iio/devices/iio:device" + std::to_string(number));
        root.write(iio / "name", name + "\n");
        root.write(iio / "in_accel_scale", "0.01\n");
        for (const char* axis : {"x", "y", "z"}) {
            root.write(iio / (std::string("in_accel_") + axis + "_raw"), "0\n");
            if (buffered) {
                root.write(iio / "scan_elements" / (std::string("in_accel_") + axis + "_en"), "0\n");
            }
        }
        if (buffered) {
            root.write(iio / "buffer/enable", "0\n");
            const fs::path node = root.path() / "dev" / ("iio:device" + std::to_string(number));
            ASSERT_EQ(::mkfifo(node.c_str(), 0600), 0);
        }
    };
    accelerometer(0, "polled-only", false);
    accelerometer(1, "buffered", true);
    const fs::path input = root.mkdir("sys/class/input/event2/device");
    root.write(input / "name", "input accelerometer\n");
    root.write(input / "properties", "40\n");
    root.write(input / "capabilities/abs", "7\n");
    ASSERT_EQ(::mkfifo((root.path() / "dev/input/event2").c_str(), 0600), 0);

    auto backend = hid::makeBackend({hid::BackendKind::Automatic, root.path().string(), ""});
    std::vector<hid::ServiceId> services;
    ASSERT_EQ(backend->matchingServices(hid::kSensorServiceClass, services), hid::kSuccess);
    std::vector<std::string> products;
    for (const hid::ServiceId service : services) {
        products.push_back(productOf(*backend, service));
    }
    EXPECT_EQ(products, (std::vector<std::string>{"buffered", "input accelerometer", "polled-only", "buffered"}));

    static std::vector<std::string> lines;
    lines.clear();
    const QtMessageHandler previous = qInstallMessageHandler(
        [](QtMsgType, const QMessageLogContext&, const QString& text) { lines.push_back(text.toStdString()); });
    auto first = backend->createDevice(services[0]);
    auto second = backend->createDevice(services[1]);
    qInstallMessageHandler(previous);
    ASSERT_TRUE(first && second);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0],
              "sensor: using the IIO buffer sensor \"buffered\" - no usable vendor HID sensor was found before it");
    EXPECT_EQ(lines[1],
              "sensor: using the input-device sensor \"input accelerometer\" - no usable vendor HID, IIO buffer "
              "sensor was found before it");
}

TEST(FactoryTest, AutomaticSkipsASensorThisUserMayNotOpenAndSaysWhatGrantsIt)
{
    testsupport::TempDir root;
    ASSERT_EQ(::chmod(root.path().c_str(), 0755), 0);
    root.write("sys/class/hidraw/hidraw0/device/report_descriptor",
               std::string("\x06\x00\xFF\x09\x03\xA1\x01\x75\x08\x95\x16\x81\x02\xC0", 14));
    root.mkdir("dev/input");
    const fs::path input = root.mkdir("sys/class/input/event1/device");
    root.write(input / "name", "input accelerometer\n");
    root.write(input / "properties", "40\n");
    root.write(input / "capabilities/abs", "7\n");
    for (const char* node : {"dev/hidraw0", "dev/input/event1"}) {
        ASSERT_EQ(::mkfifo((root.path() / node).c_str(), 0600), 0);
        if (::geteuid() != 0) {
            ASSERT_EQ(::chmod((root.path() / node).c_str(), 0), 0);
        }
    }
    const fs::path iio = root.mkdir("sys/bus/iio/devices/iio:device2");
    root.write(iio / "name", "polled\n");
    root.write(iio / "in_accel_scale", "0.01\n");
    for (const char* axis : {"x", "y", "z"}) {
        root.write(iio / (std::string("in_accel_") + axis + "_raw"), "0\n");
    }

    const std::string out = testsupport::asUnprivilegedUser([&] {
        static std::string lines;
        qInstallMessageHandler(
            [](QtMsgType, const QMessageLogContext&, const QString& text) { lines += text.toStdString() + "\n"; });
        auto backend = hid::makeBackend({hid::BackendKind::Automatic, root.path().string(), ""});
        std::vector<hid::ServiceId> services;
        backend->matchingServices(hid::kSensorServiceClass, services);
        std::string products;
        for (const hid::ServiceId service : services) {
            products += productOf(*backend, service) + ";";
        }
        return products + "\n" + lines;
    });
    const std::string rules = " is not readable by this user: install resources/udev/70-thwacko-sensors.rules into "
                              "/etc/udev/rules.d/ (see the README)";
    EXPECT_EQ(out.substr(0, out.find('\n')), "polled;") << out;
    for (const char* node : {"dev/hidraw0", "dev/input/event1"}) {
        const std::string file = (root.path() / node).string();
        EXPECT_NE(out.find(file + " (group "), std::string::npos) << out;
        EXPECT_NE(out.find(", mode 0"), std::string::npos) << out;
    }
    EXPECT_NE(out.find("hidraw: " + (root.path() / "dev/hidraw0").string()), std::string::npos) << out;
    EXPECT_NE(out.find("evdev: " + (root.path() / "dev/input/event1").string()), std::string::npos) << out;
    EXPECT_NE(out.find(rules), std::string::npos) << out;
}

TEST(FactoryTest, NamedBackendsSeeOnlyTheirOwnDevices)
{
    testsupport::TempDir root;
    root.mkdir("dev");
    ASSERT_EQ(::mkfifo((root.path() / "dev/hidraw4").c_str(), 0600), 0);
    struct Case {
        hid::BackendKind kind;
        std::size_t services;
    };
    for (const Case& c :
         {Case{hid::BackendKind::Hidraw, 1}, Case{hid::BackendKind::Iio, 0}, Case{hid::BackendKind::Evdev, 0},
          Case{hid::BackendKind::None, 0}, Case{hid::BackendKind::Replay, 0}}) {
        auto backend = hid::makeBackend({c.kind, root.path().string(), (root.path() / "absent.replay").string()});
        std::vector<hid::ServiceId> services;
        EXPECT_EQ(backend->matchingServices(hid::kSensorServiceClass, services), hid::kSuccess);
        EXPECT_EQ(services.size(), c.services) << static_cast<int>(c.kind);
    }
}

TEST_F(EnvironmentTest, BundledRecordingIsInTheResources)
{
    const fs::path resources = testsupport::builtResourceDir();
    const hid::BackendConfig config = hid::backendConfigFromEnvironment(resources);
    auto backend = hid::makeBackend({hid::BackendKind::Replay, "/", config.replayFile});
    std::vector<hid::ServiceId> services;
    ASSERT_EQ(backend->matchingServices(hid::kSensorServiceClass, services), hid::kSuccess);
    EXPECT_EQ(services.size(), 1u) << config.replayFile;
}

} // namespace
