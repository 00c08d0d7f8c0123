// Writes the client classes of remote interfaces, and the server bases that
// serve them, from an interface table (see src/proxies/interfaces.table for
// the format).
//
// Usage: proxygen OUTDIR TABLE [USED_TABLE...]
//   Writes, for every interface of TABLE, OUTDIR/<Name>Client.h/.cpp and
//   OUTDIR/<Name>Server.h/.cpp, and OUTDIR/<Stem>Records.h for the records
//   declared outside any interface. Interfaces of the USED_TABLEs may be named
//   as bases and types; their code is written by their own run.
// A malformed table ends the run with status 1 and "TABLE:LINE: error: ...".
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

struct Param {
    bool out = false;
    std::string type, name;
};

struct Op {
    std::string name, result;
    int mc = 0;
    bool chosen = false;
    std::vector<Param> params;
    int line = 0;
};

struct Record {
    std::string name;
    bool isEnum = false;
    std::vector<Param> fields;  // `out` unused
};

struct Iface {
    std::string name, base, table;
    unsigned long cc = 0;
    bool id = false;
    bool generate = false;
    int first = 0, line = 0;
    std::vector<Op> ops;
    std::vector<Record> records;
    std::vector<std::pair<std::string, std::string> > consts;  // name, value (long)
    std::vector<std::pair<std::string, std::string> > names;   // member, text
};

std::map<std::string, Iface> gIfaces;
std::vector<std::string> gOrder;      // interfaces of the generated table, in table order
std::vector<Record> gGlobalRecords;   // records outside interfaces, generated table only
std::map<std::string, std::string> gGlobalOwner;  // global record -> table stem
std::string gTable;
int gLine = 0;

[[noreturn]] void fail(std::string const& what) {
    std::fprintf(stderr, "%s:%d: error: %s\n", gTable.c_str(), gLine, what.c_str());
    std::exit(1);
}

std::string trim(std::string s) {
    size_t b = s.find_first_not_of(" \t\r"), e = s.find_last_not_of(" \t\r");
    return b == std::string::npos ? std::string() : s.substr(b, e - b + 1);
}

bool isIdent(std::string const& s) {
    if (s.empty() || !(std::isalpha(static_cast<unsigned char>(s[0])) || s[0] == '_')) return false;
    for (char c : s)
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '_') return false;
    return true;
}

// Splits at commas that are not inside <...>.
std::vector<std::string> splitTopLevel(std::string const& s, char sep) {
    std::vector<std::string> parts;
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
    if (!trim(cur).empty()) parts.push_back(trim(cur));
    return parts;
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

std::string stemOf(std::string const& path) {
    size_t slash = path.find_last_of('/');
    std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
    base = base.substr(0, base.find('.'));
    if (!base.empty()) base[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(base[0])));
    return base;
}

Record parseRecord(std::string const& rest) {
    // NAME { TYPE field; ... }
    size_t open = rest.find('{'), close = rest.rfind('}');
    if (open == std::string::npos || close == std::string::npos || close < open)
        fail("a record is \"record NAME { TYPE field; ... }\"");
    Record r;
    r.name = trim(rest.substr(0, open));
    if (!isIdent(r.name)) fail("bad record name \"" + r.name + "\"");
    for (std::string const& f : splitTopLevel(rest.substr(open + 1, close - open - 1), ';')) r.fields.push_back(typedName(f));
    if (r.fields.empty()) fail("record " + r.name + " has no fields");
    return r;
}

void parseTable(std::string const& path, bool generate) {
    std::ifstream in(path);
    if (!in) {
        std::fprintf(stderr, "%s: error: cannot read the table\n", path.c_str());
        std::exit(1);
    }
    gTable = path;
    gLine = 0;
    Iface* current = nullptr;
    int nextMc = 0;
    for (std::string raw; std::getline(in, raw);) {
        ++gLine;
        std::string line = trim(raw.substr(0, raw.find('#')));
        if (line.empty()) continue;
        std::istringstream words(line);
        std::string keyword;
        words >> keyword;
        std::string rest = trim(line.substr(keyword.size()));
        if (keyword == "interface" || keyword == "idinterface") {
            Iface f;
            f.id = keyword == "idinterface";
            f.table = path;
            f.generate = generate;
            f.line = gLine;
            std::istringstream w(rest);
            std::string cc, word;
            w >> f.name >> cc;
            if (!isIdent(f.name)) fail("bad interface name \"" + f.name + "\"");
            if (gIfaces.count(f.name)) fail("interface " + f.name + " is defined twice");
            char* end = nullptr;
            f.cc = std::strtoul(cc.c_str(), &end, 0);
            if (cc.empty() || *end || f.cc > 0xFFFFFFFFul) fail("bad class code \"" + cc + "\"");
            while (w >> word) {
                std::string value;
                if (!(w >> value)) fail("\"" + word + "\" wants a value");
                if (word == "base") f.base = value;
                else if (word == "first") f.first = std::atoi(value.c_str());
                else fail("unknown interface option \"" + word + "\"");
            }
            if (!f.base.empty() && !gIfaces.count(f.base)) fail("unknown base interface " + f.base);
            if (!f.base.empty() && gIfaces[f.base].id != f.id) fail("base " + f.base + " is of the other kind");
            gIfaces[f.name] = f;
            current = &gIfaces[f.name];
            nextMc = f.first;
            if (generate) gOrder.push_back(f.name);
        } else if (keyword == "record" && !current) {
            gGlobalOwner[parseRecord(rest).name] = stemOf(path);
            if (generate) gGlobalRecords.push_back(parseRecord(rest));
        } else if (!current) {
            fail("\"" + keyword + "\" outside an interface");
        } else if (keyword == "op") {
            Op op;
            op.line = gLine;
            op.mc = nextMc++;
            size_t open = rest.find('('), close = rest.find(')');
            if (open == std::string::npos || close == std::string::npos || close < open)
                fail("an operation is \"op NAME(ARGS) [-> TYPE] [chosen]\"");
            op.name = trim(rest.substr(0, open));
            if (!isIdent(op.name)) fail("bad operation name \"" + op.name + "\"");
            for (std::string const& a : splitTopLevel(rest.substr(open + 1, close - open - 1), ',')) {
                std::istringstream w(a);
                std::string dir;
                w >> dir;
                if (dir != "in" && dir != "out") fail("argument \"" + a + "\" is neither in nor out");
                Param p = typedName(a.substr(dir.size()));
                p.out = dir == "out";
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
            current->ops.push_back(op);
        } else if (keyword == "record") {
            current->records.push_back(parseRecord(rest));
        } else if (keyword == "enum") {
            Record e;
            e.name = rest;
            e.isEnum = true;
            if (!isIdent(e.name)) fail("bad enumeration name \"" + rest + "\"");
            current->records.push_back(e);
        } else if (keyword == "const") {
            std::istringstream w(rest);
            std::string type, name, eq, value;
            w >> type >> name >> eq >> value;
            if (type != "long" || !isIdent(name) || eq != "=" || value.empty()) fail("a constant is \"const long NAME = VALUE\"");
            current->consts.push_back({name, value});
        } else if (keyword == "name") {
            size_t eq = rest.find('='), q1 = rest.find('"'), q2 = rest.rfind('"');
            std::string member = trim(rest.substr(0, eq));
            if (eq == std::string::npos || q1 == std::string::npos || q2 <= q1 || !isIdent(member))
                fail("a well-known name is name MEMBER = \"TEXT\"");
            current->names.push_back({member, rest.substr(q1 + 1, q2 - q1 - 1)});
        } else {
            fail("unknown keyword \"" + keyword + "\"");
        }
    }
}

// ---- types ----

struct TypeInfo {
    std::string cpp;           // as written in the interface's own class
    std::string qualified;     // as written outside it
    bool byValue = false;      // passed by value as an in-argument
    std::set<std::string> headerNeeds;  // interfaces whose header must come first
    std::set<std::string> uses;         // interfaces whose client is named
};

Record const* findRecord(Iface const& f, std::string const& name) {
    for (Record const& r : f.records)
        if (r.name == name) return &r;
    return nullptr;
}

TypeInfo typeOf(std::string const& t, Iface const* where) {
    static std::map<std::string, std::string> const scalars = {
        {"bool", "bool"}, {"uchar", "unsigned char"}, {"short", "short"}, {"ushort", "unsigned short"},
        {"long", "long"}, {"ulong", "unsigned long"}};
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
            int n = std::atoi(args[1].c_str());
            if (n < 1 || n > 255) fail("an array holds 1 to 255 elements");
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
        auto it = gIfaces.find(owner);
        if (it == gIfaces.end() || !findRecord(it->second, name)) fail("unknown type \"" + t + "\"");
        info.cpp = info.qualified = owner + "Client::" + name;
        info.byValue = findRecord(it->second, name)->isEnum;
        if (!where || where->name != owner) info.headerNeeds.insert(owner);
        return info;
    }
    if (where && findRecord(*where, t)) {
        info.cpp = t;
        info.qualified = where->name + "Client::" + t;
        info.byValue = findRecord(*where, t)->isEnum;
        return info;
    }
    if (gGlobalOwner.count(t)) {
        info.cpp = info.qualified = t;
        return info;
    }
    if (gIfaces.count(t)) {
        info.cpp = info.qualified = t + "Client";
        info.uses.insert(t);
        return info;
    }
    fail("unknown type \"" + t + "\"");
}

// ---- output ----

std::string const kBanner = "// Written by proxygen from ";

// The table's file name, as the banner names it.
std::string fileName(std::string const& path) {
    size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string hex(unsigned long v) {
    char b[16];
    std::snprintf(b, sizeof b, "0x%08lXul", v);
    return b;
}

std::string clientOf(Iface const& f) { return f.name + "Client"; }
std::string serverOf(Iface const& f) { return f.name + "ServerBase"; }

std::string baseClient(Iface const& f) {
    if (!f.base.empty()) return f.base + "Client";
    return f.id ? "TipprmiObjectClient" : "TreflectObject";
}

std::string baseServer(Iface const& f) { return f.base.empty() ? "TreflectServerObject" : f.base + "ServerBase"; }

struct Signature {
    std::string decl;      // parameter list with names
    std::string result;    // C++ result type ("void")
    std::string qresult;   // qualified
    std::vector<std::string> hookArgs, inArgs, outArgs, inNames, outNames, allNames, valueTypes;
};

// `qualify`: outside the class (definitions of member functions).
Signature signatureOf(Op const& op, Iface const& f, bool qualify) {
    Signature s;
    s.result = s.qresult = "void";
    if (!op.result.empty()) {
        TypeInfo r = typeOf(op.result, &f);
        s.result = r.cpp;
        s.qresult = r.qualified;
    }
    for (Param const& p : op.params) {
        TypeInfo t = typeOf(p.type, &f);
        std::string type = qualify ? t.qualified : t.cpp;
        std::string arg = p.out ? type + "&" : (t.byValue ? type : type + " const&");
        if (!s.decl.empty()) s.decl += ", ";
        s.decl += arg + " " + p.name;
        s.hookArgs.push_back(arg);
        (p.out ? s.outArgs : s.inArgs).push_back(arg);
        (p.out ? s.outNames : s.inNames).push_back(p.name);
        s.allNames.push_back(p.name);
        s.valueTypes.push_back(type);
    }
    return s;
}

std::string join(std::vector<std::string> const& v, std::string const& sep = ", ") {
    std::string out;
    for (size_t i = 0; i < v.size(); ++i) out += (i ? sep : "") + v[i];
    return out;
}

void collect(Iface const& f, std::set<std::string>& header, std::set<std::string>& source) {
    auto add = [&](TypeInfo const& t, bool inRecord) {
        header.insert(t.headerNeeds.begin(), t.headerNeeds.end());
        (inRecord ? header : source).insert(t.uses.begin(), t.uses.end());
    };
    for (Record const& r : f.records)
        for (Param const& p : r.fields) add(typeOf(p.type, &f), true);
    for (Op const& op : f.ops) {
        if (!op.result.empty()) add(typeOf(op.result, &f), false);
        for (Param const& p : op.params) add(typeOf(p.type, &f), false);
    }
    if (!f.base.empty()) header.insert(f.base);
    header.erase(f.name);
    source.erase(f.name);
}

bool usesGlobalRecord(Iface const& f) {
    auto named = [](std::string const& t) {
        for (auto const& g : gGlobalOwner)
            if (t.find(g.first) != std::string::npos) return true;
        return false;
    };
    for (Op const& op : f.ops) {
        if (named(op.result)) return true;
        for (Param const& p : op.params)
            if (named(p.type)) return true;
    }
    return false;
}

void writeFile(std::string const& path, std::string const& text) {
    std::ofstream out(path);
    out << text;
    if (!out) {
        std::fprintf(stderr, "%s: error: cannot write\n", path.c_str());
        std::exit(1);
    }
}

void writeRecordOps(std::ostringstream& h, Record const& r, std::string const& qname, Iface const* owner) {
    if (r.isEnum) {
        h << "inline TipprmiStream& operator<<(TipprmiStream& s, " << qname
          << " const& v) { return s << static_cast<long>(v); }\n";
        h << "inline TipprmiStream& operator>>(TipprmiStream& s, " << qname << "& v) {\n"
          << "    long raw = 0;\n    s >> raw;\n    v = static_cast<" << qname << ">(raw);\n    return s;\n}\n";
        h << "TIPPRMI_MIN_WIRE_SIZE(" << qname << ", 4);\n";
        return;
    }
    std::vector<std::string> outs, ins, sizes;
    for (Param const& p : r.fields) {
        outs.push_back("v." + p.name);
        sizes.push_back("TipprmiMinWireSize<" + typeOf(p.type, owner).qualified + " >::value");
    }
    h << "inline TipprmiStream& operator<<(TipprmiStream& s, " << qname << " const& v) {\n    return s << "
      << join(outs, " << ") << ";\n}\n";
    h << "inline TipprmiStream& operator>>(TipprmiStream& s, " << qname << "& v) {\n    return s >> "
      << join(outs, " >> ") << ";\n}\n";
    h << "TIPPRMI_MIN_WIRE_SIZE(" << qname << ", (" << join(sizes, " + ") << "));\n";
}

void writeRecordType(std::ostringstream& h, Record const& r, Iface const* owner, std::string const& indent) {
    if (r.isEnum) {
        h << indent << "enum " << r.name << " : int32_t {};\n";
        return;
    }
    h << indent << "struct " << r.name << " {\n";
    for (Param const& p : r.fields) h << indent << "    " << typeOf(p.type, owner).cpp << " " << p.name << "{};\n";
    h << indent << "};\n";
}

void writeClient(std::string const& dir, Iface const& f) {
    std::set<std::string> headerNeeds, sourceUses;
    collect(f, headerNeeds, sourceUses);
    std::string const me = clientOf(f);
    std::ostringstream h;
    h << kBanner << fileName(f.table) << "; do not edit.\n#pragma once\n\n#include <cstdint>\n#include <string>\n\n";
    h << "#include \"CallHelper.h\"\n";
    if (f.id) h << "#include \"IPPRMI_objectClient.h\"\n";
    else h << "#include \"REFLECT_metaObject.h\"\n#include \"REFLECT_object.h\"\n";
    if (usesGlobalRecord(f)) h << "#include \"" << gGlobalOwner.begin()->second << "Records.h\"\n";
    for (std::string const& n : headerNeeds) h << "#include \"" << n << "Client.h\"\n";
    h << "\n";
    for (std::string const& n : sourceUses)
        if (!headerNeeds.count(n)) h << "class " << n << "Client;\n";
    h << "\n// Interface " << f.name << ", class code " << hex(f.cc) << ".\n";
    h << "class " << me << " : public " << baseClient(f) << " {\npublic:\n";
    if (!f.id) {
        h << "    class ClientSpecificMetaObject : public TreflectMetaObject {\n    public:\n"
          << "        ClientSpecificMetaObject();\n        void completeMetaInformation() override;\n    };\n"
          << "    static ClientSpecificMetaObject oMeta;\n"
          << "    // The interface's meta object, completed.\n"
          << "    static ClientSpecificMetaObject* staticMeta();\n\n";
    }
    h << "    static constexpr unsigned long kClassCode = " << hex(f.cc) << ";\n";
    for (auto const& c : f.consts) h << "    static constexpr long " << c.first << " = " << c.second << ";\n";
    for (auto const& n : f.names) h << "    static std::string const " << n.first << ";\n";
    for (Record const& r : f.records) writeRecordType(h, r, &f, "    ");
    std::string const handleBase = f.id ? "TipprmiObjectClient" : "TreflectObject";
    h << "\n    " << me << "() {}\n"
      << "    explicit " << me << "(TipprmiOID const& oid) : " << baseClient(f) << "(oid) {}\n"
      << "    explicit " << me << "(TipprmiObjectSkeleton const* s) : " << baseClient(f) << "(s) {}\n"
      << "    " << me << "(" << handleBase << " const& other) : " << baseClient(f) << "(other) {}\n\n";
    for (Op const& op : f.ops) {
        Signature s = signatureOf(op, f, false);
        h << "    virtual " << s.result << " " << op.name << "(" << s.decl << ") const;\n";
    }
    h << "};\n\n";
    h << "TIPPRMI_MIN_WIRE_SIZE(" << me << ", 16);\n";
    for (Record const& r : f.records) writeRecordOps(h, r, me + "::" + r.name, &f);
    // Last, so that interfaces naming each other still see each other whole.
    bool first = true;
    for (std::string const& n : sourceUses)
        if (!headerNeeds.count(n)) {
            if (first) h << "\n// The clients this one hands out, complete for its callers.\n";
            first = false;
            h << "#include \"" << n << "Client.h\"\n";
        }
    writeFile(dir + "/" + me + ".h", h.str());

    std::ostringstream c;
    c << kBanner << fileName(f.table) << "; do not edit.\n#include \"" << me << ".h\"\n\n";
    c << "#include \"REFLECT_objectStub.h\"\n";
    for (std::string const& n : sourceUses) c << "#include \"" << n << "Client.h\"\n";
    for (auto const& n : f.names) c << "\nstd::string const " << me << "::" << n.first << " = \"" << n.second << "\";\n";
    if (!f.id) {
        c << "\n" << me << "::ClientSpecificMetaObject " << me << "::oMeta;\n\n";
        c << me << "::ClientSpecificMetaObject::ClientSpecificMetaObject() : TreflectMetaObject(\"" << me << "\", "
          << hex(f.cc) << ") {}\n\n";
        c << "void " << me << "::ClientSpecificMetaObject::completeMetaInformation() {\n"
          << "    if (!beginCompletion()) return;\n";
        if (!f.base.empty()) c << "    completeBase(*" << f.base << "Client::staticMeta());\n";
        c << "    static MetaOpData ops[] = {";
        for (Op const& op : f.ops) c << "\n        {\"" << op.name << "\", " << op.mc << "},";
        if (f.ops.empty()) c << "{nullptr, 0}";
        c << "};\n    static MetaAttrData attrs[] = {{nullptr}};\n"
          << "    completeMetaInformationHelper(ops, " << f.ops.size() << ", attrs, 0);\n}\n\n";
        c << me << "::ClientSpecificMetaObject* " << me << "::staticMeta() {\n"
          << "    oMeta.completeMetaInformation();\n    return &oMeta;\n}\n";
    }
    for (Op const& op : f.ops) {
        Signature s = signatureOf(op, f, true);
        std::string const q = s.qresult == s.result ? s.result : s.qresult;
        c << "\n" << q << " " << me << "::" << op.name << "(" << s.decl << ") const {\n";
        if (f.id) {
            // Identifier interfaces marshal inline.
            c << "    TipprmiStream in(100), out(100);\n"
              << "    prepareRequestStream_(true, kClassCode, " << op.mc << ", in);\n";
            for (std::string const& n : s.inNames) c << "    in << " << n << ";\n";
            c << "    dispatch(true, kClassCode, " << op.mc << ", in, out);\n";
            if (q != "void") c << "    " << q << " result{};\n    prepareResponseStream_(true, out) >> result;\n";
            else c << "    prepareResponseStream_(true, out);\n";
            for (std::string const& n : s.outNames) c << "    out >> " << n << ";\n";
            c << "    if (out.hasUnmarshallingFailed()) out.printUnmarshallError(kClassCode, " << op.mc << ");\n";
            if (q != "void") c << "    return result;\n";
            c << "}\n";
            continue;
        }
        std::vector<std::string> hook = {"TipprmiObjectSkeleton"};
        if (q != "void") hook.push_back(q);
        hook.insert(hook.end(), s.hookArgs.begin(), s.hookArgs.end());
        std::vector<std::string> hookInit = {"nullptr", "nullptr"};
        hookInit.insert(hookInit.end(), s.allNames.begin(), s.allNames.end());
        c << "    ClientCallHook" << (q == "void" ? "V" : "R") << "<" << join(hook) << "> hook(" << join(hookInit)
          << ");\n";
        // Hooks without arguments are default-initialised: "in()" would declare a function.
        c << "    InParamHookN<" << join(s.inArgs) << "> in" << (s.inNames.empty() ? "" : "(" + join(s.inNames) + ")")
          << ";\n";
        c << "    OutParamHookN<" << join(s.outArgs) << "> out"
          << (s.outNames.empty() ? "" : "(" + join(s.outNames) + ")") << ";\n";
        c << "    " << (q == "void" ? "" : "return ") << "ClientCallHelper" << (q == "void" ? "" : "R")
          << "(hook, in, out, *getStub_(), nullptr, kClassCode, " << op.mc << ", true);\n}\n";
    }
    writeFile(dir + "/" + me + ".cpp", c.str());
}

void writeServer(std::string const& dir, Iface const& f) {
    std::string const me = serverOf(f), client = clientOf(f);
    std::ostringstream h;
    h << kBanner << fileName(f.table) << "; do not edit.\n#pragma once\n\n#include <string>\n\n";
    h << "#include \"" << client << ".h\"\n";
    if (f.base.empty()) h << "#include \"REFLECT_serverObject.h\"\n";
    else h << "#include \"" << f.base << "Server.h\"\n";
    std::set<std::string> headerNeeds, sourceUses;
    collect(f, headerNeeds, sourceUses);
    for (std::string const& n : sourceUses) h << "#include \"" << n << "Client.h\"\n";
    h << "\n// Serves interface " << f.name << ": a call's arguments are read, the operation's\n"
      << "// pre-observers told, the operation run, its post-observers told with the\n"
      << "// result and the arguments, the result and out-values answered. An\n"
      << "// operation a server does not override answers zero values.\n";
    h << "class " << me << " : public " << baseServer(f) << " {\npublic:\n";
    h << "    " << me << "(TipprmiOID const& oid, TreflectObject const* parent, std::string const& name)\n"
      << "        : " << baseServer(f) << "(oid, parent, name) {}\n";
    h << "    unsigned long getServerClassId() const override { return " << client << "::kClassCode; }\n";
    h << "    TipprmiSequence<unsigned long> getServerClassIdSeq() const override;\n";
    h << "    bool dispatch(bool transaction, unsigned long cc, unsigned long mc, TipprmiStream& in,\n"
      << "                  TipprmiStream& out) override;\n\n";
    for (Op const& op : f.ops) {
        Signature s = signatureOf(op, f, true);
        h << "    virtual " << s.qresult << " " << op.name << "(" << s.decl << ");\n";
    }
    h << "};\n";
    writeFile(dir + "/" + f.name + "Server.h", h.str());

    std::ostringstream c;
    c << kBanner << fileName(f.table) << "; do not edit.\n#include \"" << f.name << "Server.h\"\n\n#include \"Log.h\"\n";
    c << "\nTipprmiSequence<unsigned long> " << me << "::getServerClassIdSeq() const {\n"
      << "    TipprmiSequence<unsigned long> ids;\n";
    // Through the meta object, so that whoever serves an interface links its
    // client and announces the class code to peers that subscribe.
    if (f.id) c << "    ids.push_back(" << client << "::kClassCode);\n";
    else c << "    ids.push_back(" << client << "::oMeta.getClassId());\n";
    if (!f.base.empty())
        c << "    TipprmiSequence<unsigned long> const inherited = " << baseServer(f) << "::getServerClassIdSeq();\n"
          << "    for (unsigned long i = 0; i < inherited.getLength(); ++i) ids.push_back(inherited[i]);\n";
    c << "    return ids;\n}\n";
    c << "\nbool " << me << "::dispatch(bool transaction, unsigned long cc, unsigned long mc, TipprmiStream& in,\n"
      << "                  TipprmiStream& out) {\n";
    c << "    if (cc != " << client << "::kClassCode) return " << baseServer(f)
      << "::dispatch(transaction, cc, mc, in, out);\n";
    c << "    TipprmiSequence<TipprmiAny> args;\n    switch (mc) {\n";
    for (Op const& op : f.ops) {
        Signature s = signatureOf(op, f, true);
        c << "    case " << op.mc << ": {\n";
        for (size_t i = 0; i < s.allNames.size(); ++i) c << "        " << s.valueTypes[i] << " " << s.allNames[i] << "{};\n";
        for (std::string const& n : s.inNames) c << "        in >> " << n << ";\n";
        c << "        args.push_back(TipprmiAny());\n";
        for (std::string const& n : s.allNames) c << "        generateParamSeq(args, " << n << ");\n";
        c << "        if (preObserverAvailable(cc, mc)) notifyObservers(0, cc, mc, args);\n";
        if (s.qresult != "void")
            c << "        " << s.qresult << " const result = " << op.name << "(" << join(s.allNames) << ");\n";
        else
            c << "        " << op.name << "(" << join(s.allNames) << ");\n";
        c << "        if (postObserverAvailable(cc, mc)) {\n            args.setLength(0);\n"
          << "            args.push_back(" << (s.qresult != "void" ? "TipprmiAny(result)" : "TipprmiAny()") << ");\n";
        for (std::string const& n : s.allNames) c << "            generateParamSeq(args, " << n << ");\n";
        c << "            notifyObservers(1, cc, mc, args);\n        }\n";
        c << "        prepareResponseStream_(out);\n";
        if (s.qresult != "void") c << "        out << result;\n";
        for (std::string const& n : s.outNames) c << "        out << " << n << ";\n";
        c << "        return true;\n    }\n";
    }
    c << "    default:\n        return " << baseServer(f) << "::dispatch(transaction, cc, mc, in, out);\n    }\n}\n";
    for (Op const& op : f.ops) {
        Signature s = signatureOf(op, f, true);
        std::vector<std::string> unnamed;
        for (std::string const& a : s.hookArgs) unnamed.push_back(a);
        c << "\n" << s.qresult << " " << me << "::" << op.name << "(" << join(unnamed) << ") {\n"
          << "    TA_LOG(4, \"" << f.name << "::" << op.name << " is not served by %s\", getAbsName().c_str());\n";
        if (s.qresult != "void") c << "    return {};\n";
        c << "}\n";
    }
    writeFile(dir + "/" + f.name + "Server.cpp", c.str());
}

void writeGlobalRecords(std::string const& dir, std::string const& stem) {
    std::ostringstream h;
    h << kBanner << fileName(gTable) << "; do not edit.\n#pragma once\n\n#include \"IPPRMI_stream.h\"\n\n";
    for (Record const& r : gGlobalRecords) writeRecordType(h, r, nullptr, "");
    for (Record const& r : gGlobalRecords) writeRecordOps(h, r, r.name, nullptr);
    writeFile(dir + "/" + stem + "Records.h", h.str());
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: proxygen OUTDIR TABLE [USED_TABLE...]\n");
        return 2;
    }
    for (int i = 3; i < argc; ++i) parseTable(argv[i], false);
    parseTable(argv[2], true);
    // Every type must resolve before anything is written.
    for (std::string const& name : gOrder) {
        Iface const& f = gIfaces[name];
        gTable = f.table;
        for (Record const& r : f.records) {
            gLine = f.line;
            for (Param const& p : r.fields) typeOf(p.type, &f);
        }
        for (Op const& op : f.ops) {
            gLine = op.line;
            signatureOf(op, f, true);
        }
    }
    for (Record const& r : gGlobalRecords)
        for (Param const& p : r.fields) typeOf(p.type, nullptr);
    std::string const dir = argv[1];
    gTable = argv[2];
    if (!gGlobalRecords.empty()) writeGlobalRecords(dir, stemOf(argv[2]));
    for (std::string const& name : gOrder) {
        writeClient(dir, gIfaces[name]);
        writeServer(dir, gIfaces[name]);
    }
    return 0;
}
