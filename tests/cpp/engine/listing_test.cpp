// The native listing without an interpreter: the dialect table's bytes
// (written, read back, and refused when damaged), and a walk whose
// pending files are resolved by the caller, in walk order.
#include "engine/listing.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/dialect_table.h"
#include "temp_files.h"

namespace ledgerly::engine {
namespace {

using ledgerly::testing::TempDir;

TEST(DialectTable, WhatIsWrittenIsReadBack) {
  DialectTableWriter writer;
  writer.add("1:2", 10, -5, 0);
  writer.add("3:4", 0, 7, kNoDialect);
  const std::string bytes = writer.finish();
  DialectTable table;
  ASSERT_TRUE(table.parse(bytes));
  ASSERT_EQ(table.size(), 2u);
  const DialectVerdict* a = table.find("1:2");
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(a->size, 10);
  EXPECT_EQ(a->mtime_ns, -5);
  EXPECT_EQ(a->kind, 0);
  EXPECT_EQ(table.find("3:4")->kind, kNoDialect);
  EXPECT_EQ(table.find("1:3"), nullptr);
  EXPECT_TRUE(table.parse(DialectTableWriter().finish()));
  EXPECT_EQ(table.size(), 0u);
}

TEST(DialectTable, DamagedBytesAreRefusedWhole) {
  DialectTableWriter writer;
  writer.add("1:2", 10, 5, 0);
  writer.add("3:4", 11, 6, 1);
  const std::string good = writer.finish();
  std::vector<std::string> bad = {
      "", good.substr(0, 15), good.substr(0, good.size() - 1),  // a column cut short
      good + "x",                                               // a byte too many
  };
  std::string count = good;  // a count that does not match the columns
  count[0] = 3;
  bad.push_back(count);
  std::string huge = good;  // an identity length far past the end
  huge[15] = '\x7f';
  bad.push_back(huge);
  std::string lines = good;  // one identity where the count says two
  lines[16 + 3] = ';';
  bad.push_back(lines);
  for (const std::string& bytes : bad) {
    DialectTable table;
    EXPECT_FALSE(table.parse(bytes)) << bytes.size();
    EXPECT_EQ(table.size(), 0u);
  }
}

TEST(Listing, PendingFilesAreResolvedByTheCallerInWalkOrder) {
  TempDir dir;
  dir.write("b.jsonl", "bb");
  dir.write("a.jsonl", "a");
  dir.write("c.jsonl", "");
  dir.write("notes.txt", "x");
  std::vector<ListingSource> sources(1);
  sources[0].path = dir.path("");
  sources[0].base = "root";
  sources[0].project = "root";
  DialectTable none;
  Listing listing;
  listing.walk(sources, none);
  ASSERT_EQ(listing.pending(), 3u);
  EXPECT_EQ(listing.pending_path(0), dir.path("a.jsonl"));
  EXPECT_EQ(listing.pending_size(1), 2u);
  listing.resolve(0, 1);
  listing.resolve_error(1, "b: refused");
  listing.resolve(2, kNoDialect);
  listing.finish();
  const std::string manifest = listing.manifest();
  EXPECT_EQ(manifest.find(dir.path("b.jsonl")), std::string::npos);
  EXPECT_NE(manifest.find(",1,\"root\",false]]"), std::string::npos) << manifest;
  ASSERT_EQ(listing.errors().size(), 1u);
  EXPECT_EQ(listing.errors()[0].text, "b: refused");
  ASSERT_EQ(listing.skipped().size(), 1u);
  EXPECT_EQ(listing.skipped()[0].reason, SkipReason::kEmpty);
  ASSERT_EQ(listing.counts().size(), 1u);
  EXPECT_EQ(listing.counts()[0].event_files, 1u);
  EXPECT_EQ(listing.counts()[0].bytes, 1u);

  // The table of that walk knows a and c (not b, which failed): a second
  // walk leaves only b pending.
  DialectTable known;
  ASSERT_TRUE(known.parse(listing.table()));
  EXPECT_EQ(known.size(), 2u);
  Listing again;
  again.walk(sources, known);
  ASSERT_EQ(again.pending(), 1u);
  EXPECT_EQ(again.pending_path(0), dir.path("b.jsonl"));
}

}  // namespace
}  // namespace ledgerly::engine
