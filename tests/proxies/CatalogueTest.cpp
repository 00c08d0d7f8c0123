// The card's interfaces held against the catalogue written by hand
// (catalogue.txt), not against the tables they are generated from: the meta
// objects compiled into the clients (class codes, bases, operations with
// their method codes) and the signatures the generator declared (its
// listings, <Stem>Catalogue.txt). Two operations or two arguments swapped in
// a table fail here.
#include <gtest/gtest.h>

#include <list>
#include <map>

#include "Catalogue.h"
#include "REFLECT_interfaceRepository.h"
#include "REFLECT_metaObject.h"

TEST(Catalogue, TheGeneratedInterfacesAreTheCataloguedOnes) {
    std::map<std::string, catalogue::Interface> generated;
    for (catalogue::Interface const& i : catalogue::readAll(TA_LISTINGS)) generated[i.client] = i;
    std::vector<catalogue::Interface> const hand = catalogue::read(TA_CATALOGUE);
    ASSERT_EQ(37u, hand.size());
    for (catalogue::Interface const& want : hand) {
        SCOPED_TRACE(want.client);
        auto it = generated.find(want.client);
        ASSERT_NE(generated.end(), it);
        catalogue::Interface const got = it->second;
        generated.erase(it);
        EXPECT_EQ((std::vector<unsigned long>{want.classCode, want.first, want.id}),
                  (std::vector<unsigned long>{got.classCode, got.first, got.id}));
        EXPECT_EQ(want.base, got.base);
        ASSERT_EQ(want.ops.size(), got.ops.size());
        std::map<std::string, int> codes;
        for (size_t i = 0; i < want.ops.size(); ++i) {
            codes[want.ops[i].name] = static_cast<int>(want.first + i);
            bool const given = !want.ops[i].signature.empty();  // else only the name is catalogued
            EXPECT_EQ(given ? want.ops[i].signature : want.ops[i].name, given ? got.ops[i].signature : got.ops[i].name);
        }
        if (want.id) continue;

        TreflectMetaObject* meta = InterfaceRepository::instance()->findInterface(want.classCode);
        ASSERT_TRUE(meta);
        EXPECT_EQ(want.client, meta->name());
        EXPECT_EQ(want.base, meta->parents().empty() ? "TreflectObject" : (*meta->parents().begin())->name());
        std::list<TreflectMetaOperation*> ops;
        meta->operationList(ops);
        std::map<std::string, int> compiled;
        for (TreflectMetaOperation const* op : ops)
            if (op->containingMetaObject() == meta) compiled[op->name()] = op->id();
        EXPECT_EQ(codes, compiled);
    }
    for (auto const& extra : generated) ADD_FAILURE() << extra.first << " is not catalogued";
}
