// FileTable against a std::map model: random inserts, replacements, takes,
// batch releases with one purge, and batch lookups over manifests holding
// stored, unknown and repeated paths.
#include "engine/file_table.h"

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "engine/state.h"

namespace ledgerly::engine {
namespace {

std::unique_ptr<FileState> state_for(const std::string& path, std::uint64_t tag) {
  Input input;
  input.path = path;
  input.size = tag;
  return FileState::fresh(std::move(input));
}

// Paths that share long prefixes, as real trees do; some differ only at the end.
std::string path_of(std::size_t k) {
  return "/home/dev/logs/projects/service-" + std::to_string(k % 37) + "/session-" +
         std::to_string(k) + ".jsonl";
}

void expect_same(const FileTable& table, const std::map<std::string, std::uint64_t>& model) {
  ASSERT_EQ(table.size(), model.size());
  std::map<std::string, std::uint64_t> seen;
  table.for_each([&seen](const FileState& s) { seen.emplace(s.path(), s.size); });
  EXPECT_EQ(seen, model);
  for (const auto& [path, tag] : model) {
    const FileState* s = table.find(path);
    ASSERT_NE(s, nullptr) << path;
    EXPECT_EQ(s->size, tag);
  }
}

TEST(FileTable, BehavesLikeAMapThroughGrowthReleasesAndPurges) {
  std::mt19937_64 rng(7);
  FileTable table;
  std::map<std::string, std::uint64_t> model;
  const std::size_t kPaths = 6000;
  for (int round = 0; round < 12; ++round) {
    // Inserts and replacements.
    for (int k = 0; k < 1500; ++k) {
      const std::string path = path_of(rng() % kPaths);
      const std::uint64_t tag = rng();
      const bool fresh = model.find(path) == model.end();
      EXPECT_EQ(table.insert_or_assign(state_for(path, tag)), fresh);
      model[path] = tag;
    }
    expect_same(table, model);

    // A batch lookup over stored, unknown and repeated paths agrees with
    // one lookup at a time.
    std::vector<std::string> paths;
    for (int k = 0; k < 800; ++k) paths.push_back(path_of(rng() % (kPaths + kPaths / 4)));
    std::vector<ManifestEntry> manifest;
    for (const std::string& path : paths) {
      ManifestEntry entry;
      entry.path = path;
      manifest.push_back(entry);
    }
    std::vector<std::size_t> found;
    table.index_all(manifest, found);
    ASSERT_EQ(found.size(), manifest.size());
    for (std::size_t k = 0; k < manifest.size(); ++k) {
      EXPECT_EQ(found[k], table.index_of(manifest[k].path));
      const bool stored = model.count(paths[k]) != 0;
      EXPECT_EQ(found[k] != FileTable::kNone, stored);
      if (stored) {
        EXPECT_EQ(table.state_at(found[k])->path(), manifest[k].path);
      }
    }

    // Release a batch by slot index, then purge once: released slots are
    // passed over by lookups in between.
    std::vector<std::string> dropped;
    for (std::size_t k = 0; k < found.size(); k += 3) {
      if (found[k] == FileTable::kNone || table.state_at(found[k]) == nullptr) continue;
      std::unique_ptr<FileState> out = table.release(found[k]);
      dropped.emplace_back(out->path());
      model.erase(std::string(out->path()));
    }
    for (const std::string& path : dropped) EXPECT_FALSE(table.contains(path));
    EXPECT_EQ(table.size(), model.size());
    table.purge();
    expect_same(table, model);

    // Single takes.
    for (int k = 0; k < 200; ++k) {
      const std::string path = path_of(rng() % kPaths);
      std::unique_ptr<FileState> out = table.take(path);
      EXPECT_EQ(out != nullptr, model.erase(path) == 1);
      if (out) {
        EXPECT_EQ(out->path(), path);
      }
    }
    expect_same(table, model);
  }

  FileTable moved(std::move(table));
  expect_same(moved, model);
  EXPECT_TRUE(table.empty());  // NOLINT(bugprone-use-after-move): moved-from is empty
  moved.clear();
  EXPECT_TRUE(moved.empty());
  EXPECT_EQ(moved.find(path_of(1)), nullptr);
  EXPECT_THROW(moved.at(path_of(1)), std::out_of_range);
}

TEST(FileTable, StatesAreKeyedByTheirOwnPath) {
  FileTable table;
  EXPECT_TRUE(table.insert_or_assign(state_for("a", 1)));
  EXPECT_FALSE(table.insert_or_assign(state_for("a", 2)));
  EXPECT_EQ(table.size(), 1u);
  EXPECT_EQ(table.at("a")->size, 2u);
  // The empty path is a key like any other.
  EXPECT_TRUE(table.insert_or_assign(state_for("", 3)));
  EXPECT_EQ(table.at("")->size, 3u);
}

TEST(FileState, KeepsTheEntrysPathAndIdentityBytes) {
  // Stored after the object in one block: any bytes, any length.
  for (const std::size_t n : {0u, 1u, 7u, 100u, 5000u}) {
    Input input;
    input.path = std::string(n, 'p') + std::string("\0x", 2);
    input.identity = std::string(n / 2, 'i');
    input.size = 10;
    input.mtime_ns = 20;
    input.source = 3;
    input.project = "proj";
    input.sub = true;
    const std::unique_ptr<FileState> state = FileState::fresh(input);
    EXPECT_EQ(state->path(), input.path);
    EXPECT_EQ(state->identity(), input.identity);
    EXPECT_EQ(state->size, 10u);
    EXPECT_EQ(state->mtime_ns, 20u);
    EXPECT_EQ(state->source, 3u);
    EXPECT_EQ(state->context.project.view(), "proj");
    EXPECT_TRUE(state->context.subagent);
  }
}

}  // namespace
}  // namespace ledgerly::engine
