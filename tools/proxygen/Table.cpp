#include "Table.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace proxygen {
namespace {

std::string gTable;
int gLine = 0;
bool gCheckOrder = false;  // while checkTypes runs: gLine is where the type is used

// Members of the classes every generated client or server derives from, and
// of the generated classes themselves: an operation of that name would hide
// or override them.
std::map<std::string, std::string> const kBaseMembers = [] {
    std::map<std::string, std::string> m;
    for (char const* n : {"forwardMsg", "dispatch", "connect", "getServer", "getOID", "isConnected", "getStub_",
                          "prepareRequestStream_", "prepareResponseStream_"})
        m[n] = "TipprmiObjectClient";
    for (char const* n : {"attribute", "operation", "meta", "getAbsName", "getRelName", "getParent", "getChild",
                          "getChilds", "registerChild", "unregisterChild", "registerObserver", "removeObserver",
                          "errorAttribute", "errorOperation", "newList_"})
        m[n] = "TreflectObject";
    for (char const* n : {"getInternalOID", "getNamespaceId", "orbId", "setExceptionContainer",
                          "getExceptionContainer", "hasOID", "getClient"})
        m[n] = "TipprmiObjectSkeleton";
    for (char const* n : {"getServerClassId", "getServerClassIdSeq", "sendCreationEvent", "sendDeletionEvent",
                          "notifyObservers", "unRegisterObserver", "preObserverAvailable", "postObserverAvailable"})
        m[n] = "TreflectServerObject";
    for (char const* n : {"kClassCode", "oMeta", "staticMeta", "ClientSpecificMetaObject"}) m[n] = "the generated client";
    return m;
}();

// Names the generated operation bodies give their own locals.
std::set<std::string> const kGeneratedLocals = {"hook", "in", "out", "result", "args", "ids", "transaction", "cc", "mc"};

bool isIdent(std::string const& s) {
    if (s.empty() || !(std::isalpha(static_cast<unsigned char>(s[0])) || s[0] == '_')) return false;
    for (char c : s)
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '_') return false;
    return true;
}

// A whole decimal or 0x-hexadecimal number, optionally negative, within [lo, hi].
bool number(std::string const& text, long long lo, long long hi, long long* out) {
    if (text.empty() || std::isspace(static_cast<unsigned char>(text[0]))) return false;
    char* end = nullptr;
    errno = 0;
    long long v = std::strtoll(text.c_str(), &end, 0);
    if (errno || *end || v < lo || v > hi) return false;
    *out = v;
    return true;
}

// "TYPE name" with TYPE possibly holding blanks inside <...>.
Param typedName(std::string const& text) {
    std::string t = trim(text);
    size_t cut = t.find_last_of(" \t");
    if (cut == std::string::npos) fail("expected a type and a name in \"" + t + "\"");
    Param p;
    p.type = trim(t.substr(0, cut));
    p.name = trim(t.substr(cut + 1));
    if (!isIdent(p.name)) fail("bad name \"" + p.name + "\"");
    return p;
}

// One more member of the interface's client class.
void declare(Iface& f, std::string const& name, char const* what) {
    auto it = f.members.find(name);
    if (it != f.members.end()) fail(std::string(what) + " " + name + " is already declared in " + f.name + " on line " +
                                    std::to_string(it->second));
    f.members[name] = gLine;
}

Record parseRecord(std::string const& rest) {
    // NAME { TYPE field; ... }
    size_t open = rest.find('{'), close = rest.rfind('}');
    if (open == std::string::npos || close == std::string::npos || close < open || !trim(rest.substr(close + 1)).empty())
        fail("a record is \"record NAME { TYPE field; ... }\"");
    Record r;
    r.line = gLine;
    r.name = trim(rest.substr(0, open));
    if (!isIdent(r.name)) fail("bad record name \"" + r.name + "\"");
    std::set<std::string> seen;
    for (std::string const& f : splitTopLevel(rest.substr(open + 1, close - open - 1), ';')) {
        if (f.empty()) continue;
        r.fields.push_back(typedName(f));
        if (!seen.insert(r.fields.back().name).second)
            fail("field " + r.fields.back().name + " is declared twice in record " + r.name);
    }
    if (r.fields.empty()) fail("record " + r.name + " has no fields");
    return r;
}

Iface* parseInterface(std::string const& keyword, std::string const& rest, std::string const& path, bool generate) {
    Tables& t = tables();
    Iface f;
    f.id = keyword == "idinterface";
    f.table = path;
    f.generate = generate;
    f.line = gLine;
    std::istringstream w(rest);
    std::string cc, word;
    w >> f.name >> cc;
    if (!isIdent(f.name)) fail("bad interface name \"" + f.name + "\"");
    if (t.ifaces.count(f.name)) fail("interface " + f.name + " is defined twice");
    long long code = 0;
    if (!number(cc, 0, 0xFFFFFFFFll, &code)) fail("bad class code \"" + cc + "\"");
    if (code == 0) fail("class code 0 is the object-level operations'");
    f.cc = static_cast<unsigned long>(code);
    for (auto const& other : t.ifaces)
        if (other.second.cc == f.cc)
            fail("class code " + cc + " is already " + other.first + "'s (" + other.second.table + ":" +
                 std::to_string(other.second.line) + ")");
    while (w >> word) {
        std::string value;
        long long first = 0;
        if (!(w >> value)) fail("\"" + word + "\" wants a value");
        if (word == "base") {
            f.base = value;
        } else if (word == "first") {
            if (!number(value, 0, 2099, &first)) fail("bad first method code \"" + value + "\"");
            f.first = static_cast<unsigned long>(first);
        } else {
            fail("unknown interface option \"" + word + "\"");
        }
    }
    if (!f.base.empty() && !t.ifaces.count(f.base)) fail("unknown base interface " + f.base);
    if (!f.base.empty() && t.ifaces[f.base].id != f.id) fail("base " + f.base + " is of the other kind");
    if (generate) t.order.push_back(f.name);
    return &(t.ifaces[f.name] = f);
}

void parseOp(Iface& f, std::string const& rest) {
    Op op;
    op.line = gLine;
    op.mc = f.first + f.ops.size();
    if (op.mc == 2100 || op.mc == 2101) fail("method code " + std::to_string(op.mc) + " is the object-level operations'");
    size_t open = rest.find('('), close = rest.find(')');
    if (open == std::string::npos || close == std::string::npos || close < open)
        fail("an operation is \"op NAME(ARGS) [-> TYPE] [chosen]\"");
    op.name = trim(rest.substr(0, open));
    if (!isIdent(op.name)) fail("bad operation name \"" + op.name + "\"");
    auto base = kBaseMembers.find(op.name);
    if (base != kBaseMembers.end()) fail("operation " + op.name + " clashes with " + base->second + "::" + op.name);
    for (Iface const* b = &f; !b->base.empty();) {
        b = &tables().ifaces.at(b->base);
        for (Op const& inherited : b->ops)
            if (inherited.name == op.name)
                fail("operation " + op.name + " hides the one of " + b->name + " (" + b->table + ":" +
                     std::to_string(inherited.line) + ")");
    }
    declare(f, op.name, "operation");
    std::string const args = trim(rest.substr(open + 1, close - open - 1));
    std::set<std::string> seen;
    for (std::string const& a : splitTopLevel(args, ',')) {
        if (a.empty()) fail("an empty argument in " + op.name + "(" + args + "): a comma too many");
        std::istringstream w(a);
        std::string dir;
        w >> dir;
        if (dir != "in" && dir != "out") fail("argument \"" + a + "\" is neither in nor out");
        Param p = typedName(a.substr(dir.size()));
        p.out = dir == "out";
        if (kGeneratedLocals.count(p.name)) fail("argument name \"" + p.name + "\" is taken by the generated code");
        if (!seen.insert(p.name).second) fail("argument " + p.name + " is declared twice in " + op.name);
        op.params.push_back(p);
    }
    std::string tail = trim(rest.substr(close + 1));
    if (tail.size() >= 6 && tail.compare(tail.size() - 6, 6, "chosen") == 0) {
        op.chosen = true;
        tail = trim(tail.substr(0, tail.size() - 6));
    }
    if (!tail.empty()) {
        if (tail.compare(0, 2, "->") != 0) fail("expected \"-> TYPE\" after the arguments");
        op.result = trim(tail.substr(2));
        if (op.result.empty()) fail("missing result type");
    }
    f.ops.push_back(op);
}

void parseMember(Iface& f, std::string const& keyword, std::string const& rest) {
    if (keyword == "op") {
        parseOp(f, rest);
    } else if (keyword == "record") {
        f.records.push_back(parseRecord(rest));
        declare(f, f.records.back().name, "record");
    } else if (keyword == "enum") {
        Record e;
        e.name = rest;
        e.isEnum = true;
        e.line = gLine;
        if (!isIdent(e.name)) fail("bad enumeration name \"" + rest + "\"");
        declare(f, e.name, "enumeration");
        f.records.push_back(e);
    } else if (keyword == "const") {
        std::istringstream w(rest);
        std::string type, name, eq, value, more;
        w >> type >> name >> eq >> value >> more;
        if (type != "long" || !isIdent(name) || eq != "=" || value.empty() || !more.empty())
            fail("a constant is \"const long NAME = VALUE\"");
        long long v = 0;
        if (!number(value, -2147483648ll, 2147483647ll, &v)) fail("constant " + name + " = " + value +
                                                                  " is not a 32-bit integer");
        declare(f, name, "constant");
        f.consts.push_back({name, value});
    } else if (keyword == "name") {
        size_t eq = rest.find('=');
        std::string const member = trim(rest.substr(0, eq));
        std::string const text = eq == std::string::npos ? "" : trim(rest.substr(eq + 1));
        if (eq == std::string::npos || !isIdent(member) || text.size() < 2 || text.front() != '"' ||
            text.back() != '"' || text.find_first_of("\"\\", 1) != text.size() - 1)
            fail("a well-known name is name MEMBER = \"TEXT\", TEXT without quotes or backslashes");
        declare(f, member, "well-known name");
        f.names.push_back({member, text.substr(1, text.size() - 2)});
    } else {
        fail("unknown keyword \"" + keyword + "\"");
    }
}

}  // namespace

Tables& tables() {
    static Tables t;
    return t;
}

void fail(std::string const& what) {
    std::fprintf(stderr, "%s:%d: error: %s\n", gTable.c_str(), gLine, what.c_str());
    std::exit(1);
}

void at(std::string const& table, int line) {
    gTable = table;
    gLine = line;
}

std::string trim(std::string s) {
    size_t b = s.find_first_not_of(" \t\r"), e = s.find_last_not_of(" \t\r");
    return b == std::string::npos ? std::string() : s.substr(b, e - b + 1);
}

// Splits at separators that are not inside <...>; a blank text has no parts,
// any other text keeps its empty parts.
std::vector<std::string> splitTopLevel(std::string const& s, char sep) {
    std::vector<std::string> parts;
    if (trim(s).empty()) return parts;
    int depth = 0;
    std::string cur;
    for (char c : s) {
        if (c == '<') ++depth;
        if (c == '>') --depth;
        if (c == sep && depth == 0) {
            parts.push_back(trim(cur));
            cur.clear();
        } else {
            cur += c;
        }
    }
    parts.push_back(trim(cur));
    return parts;
}

std::string stemOf(std::string const& path) {
    size_t slash = path.find_last_of('/');
    std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
    base = base.substr(0, base.find('.'));
    if (!base.empty()) base[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(base[0])));
    return base;
}

void parseTable(std::string const& path, bool generate) {
    std::ifstream in(path);
    if (!in) {
        std::fprintf(stderr, "%s: error: cannot read the table\n", path.c_str());
        std::exit(1);
    }
    Tables& t = tables();
    at(path, 0);
    if (generate) t.generated = path;
    Iface* current = nullptr;
    for (std::string raw; std::getline(in, raw);) {
        ++gLine;
        std::string line = trim(raw.substr(0, raw.find('#')));
        if (line.empty()) continue;
        bool const indented = std::isspace(static_cast<unsigned char>(raw[0]));
        std::istringstream words(line);
        std::string keyword;
        words >> keyword;
        std::string rest = trim(line.substr(keyword.size()));
        if (keyword == "interface" || keyword == "idinterface") {
            current = parseInterface(keyword, rest, path, generate);
        } else if (keyword == "record" && !indented) {
            // The build lists the records of a table's own header from lines
            // that begin with "record": those must be outside every interface.
            Record r = parseRecord(rest);
            if (current)
                fail("record " + r.name + " begins its line after interface " + current->name +
                     ": indent it to nest it there, or declare it before the first interface");
            if (t.globalOwner.count(r.name))
                fail("record " + r.name + " is already declared on " + t.globalWhere[r.name]);
            t.globalOwner[r.name] = stemOf(path);
            t.globalWhere[r.name] = path + ":" + std::to_string(gLine);
            if (generate) t.globalRecords.push_back(r);
        } else if (!current) {
            fail("\"" + keyword + "\" outside an interface");
        } else {
            parseMember(*current, keyword, rest);
        }
    }
}

namespace {

Record const* findRecord(Iface const& f, std::string const& name) {
    for (Record const& r : f.records)
        if (r.name == name) return &r;
    return nullptr;
}

// A record of the interface being written must be declared above its use:
// the generated class declares them in table order.
Record const* declaredRecord(Iface const& f, std::string const& name, bool sameClass) {
    Record const* r = findRecord(f, name);
    if (r && sameClass && gCheckOrder && r->line >= gLine)
        fail((r->isEnum ? "enumeration " : "record ") + name + " is used before it is declared on line " +
             std::to_string(r->line));
    return r;
}

}  // namespace

TypeInfo typeOf(std::string const& t, Iface const* where) {
    static std::map<std::string, std::string> const scalars = {
        {"bool", "bool"}, {"uchar", "unsigned char"}, {"short", "short"}, {"ushort", "unsigned short"},
        {"long", "long"}, {"ulong", "unsigned long"}};
    Tables& all = tables();
    TypeInfo info;
    if (scalars.count(t)) {
        info.cpp = info.qualified = scalars.at(t);
        info.byValue = true;
        return info;
    }
    if (t == "string") {
        info.cpp = info.qualified = "std::string";
        return info;
    }
    size_t lt = t.find('<');
    if (lt != std::string::npos && t.back() == '>') {
        std::string head = trim(t.substr(0, lt)), inner = t.substr(lt + 1, t.size() - lt - 2);
        if (head == "ResponseInfo") {
            if (inner != "GetClient" && inner != "SetClient" && inner != "RunClient")
                fail("ResponseInfo takes GetClient, SetClient or RunClient, not \"" + inner + "\"");
            info.cpp = info.qualified = "ResponseInfo<" + inner + ">";
            return info;
        }
        std::vector<std::string> args = splitTopLevel(inner, ',');
        if (head == "seq" && args.size() == 1) {
            TypeInfo e = typeOf(args[0], where);
            info = e;
            info.byValue = false;
            info.cpp = "TipprmiSequence<" + e.cpp + ">";
            info.qualified = "TipprmiSequence<" + e.qualified + ">";
            return info;
        }
        if (head == "array" && args.size() == 2) {
            long long n = 0;
            if (!number(args[1], 1, 255, &n)) fail("an array holds 1 to 255 elements, not \"" + args[1] + "\"");
            TypeInfo e = typeOf(args[0], where);
            info = e;
            info.byValue = false;
            info.cpp = "TipprmiArray<" + e.cpp + ", " + args[1] + ">";
            info.qualified = "TipprmiArray<" + e.qualified + ", " + args[1] + ">";
            return info;
        }
        fail("unknown type \"" + t + "\"");
    }
    size_t colons = t.find("::");
    if (colons != std::string::npos) {
        std::string owner = t.substr(0, colons), name = t.substr(colons + 2);
        auto it = all.ifaces.find(owner);
        Record const* r = it == all.ifaces.end() ? nullptr : declaredRecord(it->second, name, where && where->name == owner);
        if (!r) fail("unknown type \"" + t + "\"");
        info.cpp = info.qualified = owner + "Client::" + name;
        info.byValue = r->isEnum;
        if (!where || where->name != owner) info.headerNeeds.insert(owner);
        return info;
    }
    if (where) {
        if (Record const* r = declaredRecord(*where, t, true)) {
            info.cpp = t;
            info.qualified = where->name + "Client::" + t;
            info.byValue = r->isEnum;
            return info;
        }
    }
    if (all.globalOwner.count(t)) {
        info.cpp = info.qualified = t;
        info.globals.insert(all.globalOwner[t]);
        return info;
    }
    if (all.ifaces.count(t)) {
        info.cpp = info.qualified = t + "Client";
        info.uses.insert(t);
        return info;
    }
    fail("unknown type \"" + t + "\"");
}

void checkTypes() {
    Tables& all = tables();
    gCheckOrder = true;
    for (std::string const& name : all.order) {
        Iface const& f = all.ifaces[name];
        for (Record const& r : f.records) {
            at(f.table, r.line);
            for (Param const& p : r.fields) typeOf(p.type, &f);
        }
        for (Op const& op : f.ops) {
            at(f.table, op.line);
            if (!op.result.empty()) typeOf(op.result, &f);
            for (Param const& p : op.params) typeOf(p.type, &f);
        }
    }
    for (size_t i = 0; i < all.globalRecords.size(); ++i) {
        Record const& r = all.globalRecords[i];
        at(all.generated, r.line);
        for (Param const& p : r.fields) {
            typeOf(p.type, nullptr);
            for (size_t j = i; j < all.globalRecords.size(); ++j)
                if (all.globalRecords[j].name == p.type)
                    fail("record " + p.type + " is used before it is declared on line " +
                         std::to_string(all.globalRecords[j].line));
        }
    }
    gCheckOrder = false;
}

}  // namespace proxygen
