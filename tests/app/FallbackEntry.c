/* Exports only `main`: the launcher must fall back to it and pass its result on. */
__attribute__((visibility("default"))) int main(int argc, char** argv)
{
    (void)argv;
    return 40 + argc;
}
