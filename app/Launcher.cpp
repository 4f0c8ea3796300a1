// The launcher: loads the application library from beside itself and enters it. Nothing else
// crosses between the two.
#include <dlfcn.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <system_error>

namespace {

using EntryPoint = int (*)(int, char**);

std::filesystem::path libraryPath()
{
    std::error_code error;
    const std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", error);
    const std::filesystem::path folder = error ? std::filesystem::path(".") : exe.parent_path();
    return folder / "ThwackoApp.debug";
}

} // namespace

int main(int argc, char** argv)
{
    const std::string path = libraryPath().string();
    void* library = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!library) {
        std::fprintf(stderr, "ThwackoApp: cannot load %s: %s\n", path.c_str(), ::dlerror());
        return 1;
    }
    void* symbol = ::dlsym(library, "__debug_main_executable_dylib_entry_point");
    if (!symbol) {
        symbol = ::dlsym(library, "main");
    }
    if (!symbol) {
        std::fprintf(stderr, "ThwackoApp: %s has no entry point (__debug_main_executable_dylib_entry_point or main)\n",
                     path.c_str());
        return 1;
    }
    const auto entry = reinterpret_cast<EntryPoint>(symbol);
    return entry(argc, argv);
}
