// The hand-written catalogue of remote interfaces (catalogue.txt), read by the
// tests that hold the generated code and the task's registry against it. Reads
// the interface lines of an interface table as well, for their class codes.
#pragma once

#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace catalogue {

struct Operation {
    std::string name, signature;  // signature empty: ours, not catalogued
};

struct Interface {
    std::string client, base;
    unsigned long classCode = 0, first = 0;
    bool id = false;  // identifier interface: no meta object
    std::vector<Operation> ops;
};

inline std::vector<Interface> read(std::string const& path) {
    std::vector<Interface> all;
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);) {
        std::istringstream words(line);
        std::string word;
        if (!(words >> word) || word[0] == '#') continue;
        if (word == "interface" || word == "idinterface") {
            Interface i;
            i.id = word == "idinterface";
            words >> i.client >> std::hex >> i.classCode >> i.base >> std::dec >> i.first;
            all.push_back(i);
        } else if (!all.empty()) {
            std::string const text = line.substr(line.find(word));
            size_t const open = text.find('(');
            all.back().ops.push_back({text.substr(0, open), open == std::string::npos ? "" : text});
        }
    }
    return all;
}

// Of several files, named comma-separated.
inline std::vector<Interface> readAll(std::string const& paths) {
    std::vector<Interface> all;
    std::istringstream names(paths);
    for (std::string path; std::getline(names, path, ',');)
        for (Interface const& i : read(path)) all.push_back(i);
    return all;
}

// Class codes as a readable text, ascending.
inline std::string hex(std::set<unsigned long> const& codes) {
    std::ostringstream o;
    for (unsigned long c : codes) o << std::hex << " 0x" << c;
    return o.str();
}

}  // namespace catalogue
