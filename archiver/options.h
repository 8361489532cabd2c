#ifndef OPTIONS_H
#define OPTIONS_H

#include <filesystem>
#include <string>
#include <vector>

// What the "a" command was asked to do.
struct Options
{
    bool recurse = false;
    bool excludeBasePath = false;
    int level = 6; // deflate level, 1 to 12
    bool store = false;
    std::vector<std::filesystem::path>
        excluded; // absolute, normalised, without a trailing separator
    std::string archive;
    std::string source;
};

// The form in which excluded paths and the paths met in the walk are compared.
std::filesystem::path comparable(const std::filesystem::path &path);

#endif // OPTIONS_H
