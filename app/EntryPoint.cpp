#include "app/ThwackoApp.h"

// The library's exported entry: runs the application's main routine and returns 0 once it
// returns. The arguments go to Qt (platform options) and to the few options of our own.
extern "C" __attribute__((visibility("default"))) int __debug_main_executable_dylib_entry_point(int argc, char** argv)
{
    ThwackoApp::main(argc, argv);
    return 0;
}
