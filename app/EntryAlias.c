/* The same entry under the name `main`, for loaders that look for that name. */
int __debug_main_executable_dylib_entry_point(int argc, char** argv);

__attribute__((visibility("default"))) int main(int argc, char** argv)
{
    return __debug_main_executable_dylib_entry_point(argc, argv);
}
