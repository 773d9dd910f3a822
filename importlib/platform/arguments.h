// The program's command-line arguments as UTF-8.
#pragma once

#include <string>
#include <vector>

// On Windows from the wide command line (argv there holds ANSI text that has already lost
// what the code page cannot hold); on other systems argv as it is. An argument that cannot
// be converted becomes an empty string.
std::vector<std::string> utf8_arguments(int argc, char** argv);
