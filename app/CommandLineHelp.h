#pragma once

#include <string>

/// Whether the arguments ask for the usage text: "--help" or "-h" anywhere, except as the value
/// of an option that takes one.
bool wantsHelp(int argc, char** argv);

/// The usage text: our own options and where the other arguments go, naming the program as
/// `argv0` calls it.
std::string helpText(const char* argv0);
