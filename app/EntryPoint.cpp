#include "app/CommandLineHelp.h"
#include "app/DisplayCheck.h"
#include "app/ThwackoApp.h"

#include <cstdio>
#include <cstdlib>

// The library's exported entry: runs the application's main routine and returns 0 once it
// returns. The arguments go to Qt (platform options) and to the few options of our own. Without
// a display to open it says so in one line and returns 1, where Qt would abort. The usage text
// needs no display, so it is answered first.
extern "C" __attribute__((visibility("default"))) int __debug_main_executable_dylib_entry_point(int argc, char** argv)
{
    if (wantsHelp(argc, argv)) {
        std::fputs(helpText(argv[0]).c_str(), stdout);
        return 0;
    }
    if (const auto reason = missingDisplay(argc, argv, ::getenv)) {
        std::fprintf(stderr, "%s\n", noDisplayMessage(*reason).c_str());
        return 1;
    }
    ThwackoApp::main(argc, argv);
    return 0;
}
