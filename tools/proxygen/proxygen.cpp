// Writes the client classes of remote interfaces, and the server bases that
// serve them, from an interface table (see src/proxies/interfaces.table for
// the format).
//
// Usage: proxygen OUTDIR TABLE [USED_TABLE...]
//   Writes, for every interface of TABLE, OUTDIR/<Name>Client.h/.cpp and
//   OUTDIR/<Name>Server.h/.cpp, OUTDIR/<Stem>Records.h for the records
//   declared outside any interface, and OUTDIR/<Stem>Catalogue.txt, the list of
//   interfaces with their class codes, method codes and C++ signatures.
//   Interfaces of the USED_TABLEs may be named as bases and types; their code
//   is written by their own run.
// A malformed table ends the run with status 1 and "TABLE:LINE: error: ...".
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "Table.h"

using namespace proxygen;

namespace {

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

// Interfaces whose headers the client's header needs first, those its source
// names, and the stems of the tables whose global records it uses.
void collect(Iface const& f, std::set<std::string>& header, std::set<std::string>& source,
             std::set<std::string>* globals = nullptr) {
    auto add = [&](TypeInfo const& t, bool inRecord) {
        header.insert(t.headerNeeds.begin(), t.headerNeeds.end());
        if (globals) globals->insert(t.globals.begin(), t.globals.end());
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
    std::set<std::string> headerNeeds, sourceUses, globals;
    collect(f, headerNeeds, sourceUses, &globals);
    std::string const me = clientOf(f);
    std::ostringstream h;
    h << kBanner << fileName(f.table) << "; do not edit.\n#pragma once\n\n#include <cstdint>\n#include <string>\n\n";
    h << "#include \"CallHelper.h\"\n";
    if (f.id) h << "#include \"IPPRMI_objectClient.h\"\n";
    else h << "#include \"REFLECT_metaObject.h\"\n#include \"REFLECT_object.h\"\n";
    for (std::string const& stem : globals) h << "#include \"" << stem << "Records.h\"\n";
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
    // Notifying observers gives the run permission up: the object may be
    // destroyed meanwhile, and is then left alone, the call failed.
    c << "    TreflectObservable::Life const life = this->life();\n";
    c << "    TipprmiSequence<TipprmiAny> args;\n    switch (mc) {\n";
    for (Op const& op : f.ops) {
        Signature s = signatureOf(op, f, true);
        c << "    case " << op.mc << ": {\n";
        for (size_t i = 0; i < s.allNames.size(); ++i) c << "        " << s.valueTypes[i] << " " << s.allNames[i] << "{};\n";
        for (std::string const& n : s.inNames) c << "        in >> " << n << ";\n";
        c << "        args.push_back(TipprmiAny());\n";
        for (std::string const& n : s.allNames) c << "        generateParamSeq(args, " << n << ");\n";
        c << "        if (preObserverAvailable(cc, mc) && !notifyObservers(0, cc, mc, args) && life.gone())\n"
          << "            return false;\n";
        if (s.qresult != "void")
            c << "        " << s.qresult << " const result = " << op.name << "(" << join(s.allNames) << ");\n";
        else
            c << "        " << op.name << "(" << join(s.allNames) << ");\n";
        c << "        if (life.gone()) return false;\n";
        c << "        if (postObserverAvailable(cc, mc)) {\n            args.setLength(0);\n"
          << "            args.push_back(" << (s.qresult != "void" ? "TipprmiAny(result)" : "TipprmiAny()") << ");\n";
        for (std::string const& n : s.allNames) c << "            generateParamSeq(args, " << n << ");\n";
        c << "            if (!notifyObservers(1, cc, mc, args) && life.gone()) return false;\n        }\n";
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
    std::vector<Record> const& records = tables().globalRecords;
    std::ostringstream h;
    h << kBanner << fileName(tables().generated) << "; do not edit.\n#pragma once\n\n#include \"IPPRMI_stream.h\"\n\n";
    for (Record const& r : records) writeRecordType(h, r, nullptr, "");
    for (Record const& r : records) writeRecordOps(h, r, r.name, nullptr);
    writeFile(dir + "/" + stem + "Records.h", h.str());
}

// The interfaces as the written code declares them, in the format of a
// hand-written catalogue (tests/proxies/catalogue.txt) to hold them against.
void writeListing(std::string const& dir, std::string const& stem) {
    std::ostringstream o;
    o << "# Written by proxygen from " << fileName(tables().generated) << ": the interfaces as declared.\n";
    for (std::string const& name : tables().order) {
        Iface const& f = tables().ifaces[name];
        o << (f.id ? "idinterface " : "interface ") << clientOf(f) << " " << hex(f.cc).substr(0, 10) << " "
          << baseClient(f) << " " << f.first << "\n";
        for (Op const& op : f.ops) {
            std::vector<std::string> args;
            for (Param const& p : op.params) args.push_back(typeOf(p.type, &f).qualified + (p.out ? " (out)" : " (in)"));
            o << "  " << op.name << "(" << join(args) << ")";
            if (!op.result.empty()) o << " -> " << typeOf(op.result, &f).qualified;
            o << "\n";
        }
    }
    writeFile(dir + "/" + stem + "Catalogue.txt", o.str());
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
    checkTypes();
    Tables& all = tables();
    std::string const dir = argv[1];
    if (!all.globalRecords.empty()) writeGlobalRecords(dir, stemOf(argv[2]));
    for (std::string const& name : all.order) {
        writeClient(dir, all.ifaces[name]);
        writeServer(dir, all.ifaces[name]);
    }
    writeListing(dir, stemOf(argv[2]));
    return 0;
}
