// What the libraries the application is built on hold resident before any code of ours runs:
// the floor under measure-app's memory figure. Step by step, as the application meets them:
// the libraries loaded, a widget application, a window of plain labels, the HTTP client
// initialised (and the TLS libraries it pulls in), an SQLite database, an OpenAL context on the
// default device. Prints VmRSS after each step.
//
// Usage: QT_QPA_PLATFORM=offscreen ALSOFT_DRIVERS=null MemoryFloor
#include <AL/al.h>
#include <AL/alc.h>
#include <QApplication>
#include <QLabel>
#include <QTimer>
#include <QVBoxLayout>
#include <curl/curl.h>
#include <sqlite3.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

namespace {

double residentMiB()
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) {
            return std::atof(line.c_str() + 6) / 1024.0;
        }
    }
    return 0;
}

void step(const char* name)
{
    std::printf("%-34s %8.1f MiB\n", name, residentMiB());
    std::fflush(stdout);
}

} // namespace

int main(int argc, char** argv)
{
    step("libraries loaded");
    QApplication app(argc, argv);
    step("+ widget application");
    QWidget window;
    window.resize(720, 520);
    auto* layout = new QVBoxLayout(&window);
    for (int i = 0; i < 30; ++i) {
        layout->addWidget(new QLabel(QStringLiteral("A label of plain text, number %1").arg(i)));
    }
    window.show();
    QApplication::processEvents();
    step("+ window of 30 labels, painted");
    curl_global_init(CURL_GLOBAL_DEFAULT);
    CURL* http = curl_easy_init();
    step("+ HTTP client");
    sqlite3* db = nullptr;
    sqlite3_open(":memory:", &db);
    sqlite3_exec(db, "CREATE TABLE t (x); INSERT INTO t VALUES (1);", nullptr, nullptr, nullptr);
    step("+ SQLite database");
    ALCdevice* device = alcOpenDevice(nullptr);
    ALCcontext* context = device ? alcCreateContext(device, nullptr) : nullptr;
    if (context == nullptr) {
        std::fprintf(stderr, "MemoryFloor: no OpenAL context (set ALSOFT_DRIVERS=null)\n");
        return 1;
    }
    alcMakeContextCurrent(context);
    step("+ OpenAL context");
    QTimer::singleShot(1000, &app, &QApplication::quit);
    QApplication::exec();
    step("after a second of the event loop");

    alcMakeContextCurrent(nullptr);
    alcDestroyContext(context);
    alcCloseDevice(device);
    sqlite3_close(db);
    curl_easy_cleanup(http);
    curl_global_cleanup();
    return 0;
}
