// The interface tables as proxygen reads them (the format is described at the
// top of src/proxies/interfaces.table). Reading refuses whatever would not
// make sound C++ or would not mean what it seems to, with
// "TABLE:LINE: error: ..." and exit status 1.
#pragma once

#include <map>
#include <set>
#include <string>
#include <vector>

namespace proxygen {

struct Param {
    bool out = false;
    std::string type, name;
};

struct Op {
    std::string name, result;
    unsigned long mc = 0;
    bool chosen = false;
    std::vector<Param> params;
    int line = 0;
};

struct Record {
    std::string name;
    bool isEnum = false;
    std::vector<Param> fields;  // `out` unused
    int line = 0;
};

struct Iface {
    std::string name, base, table;
    unsigned long cc = 0;
    bool id = false;
    bool generate = false;
    unsigned long first = 0;
    int line = 0;
    std::vector<Op> ops;
    std::vector<Record> records;
    std::vector<std::pair<std::string, std::string> > consts;  // name, value (long)
    std::vector<std::pair<std::string, std::string> > names;   // member, text
    std::map<std::string, int> members;                        // every member name -> its line
};

// Everything read so far.
struct Tables {
    std::string generated;                      // the table whose code this run writes
    std::map<std::string, Iface> ifaces;
    std::vector<std::string> order;             // interfaces of the generated table, in table order
    std::vector<Record> globalRecords;          // records outside interfaces, generated table only
    std::map<std::string, std::string> globalOwner;  // global record -> stem of its table
    std::map<std::string, std::string> globalWhere;  // global record -> "TABLE:LINE"
};
Tables& tables();

// Reads one table; `generate`: the table whose code this run writes.
void parseTable(std::string const& path, bool generate);
// Resolves every type of the generated table (refusing unknown ones and
// records used before their declaration).
void checkTypes();

// Ends the run naming the table and line being looked at.
[[noreturn]] void fail(std::string const& what);
void at(std::string const& table, int line);

struct TypeInfo {
    std::string cpp;                    // as written in the interface's own class
    std::string qualified;              // as written outside it
    bool byValue = false;               // passed by value as an in-argument
    std::set<std::string> headerNeeds;  // interfaces whose header must come first
    std::set<std::string> uses;         // interfaces whose client is named
    std::set<std::string> globals;      // stems of the tables whose global records are named
};
TypeInfo typeOf(std::string const& t, Iface const* where);

std::string trim(std::string s);
std::vector<std::string> splitTopLevel(std::string const& s, char sep);
// The table's file name without directory or extension, capitalised.
std::string stemOf(std::string const& path);

}  // namespace proxygen
