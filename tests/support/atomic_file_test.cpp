#include "support/atomic_file.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <set>
#include <string>

#include "run_command.h"
#include "support/failure.h"

namespace pedscan {
namespace {

using testutil::ReadWholeFile;
using testutil::TempDir;
namespace fs = std::filesystem;

std::set<std::string> Names(const std::string& directory) {
  std::set<std::string> names;
  for (const auto& entry : fs::directory_iterator(directory)) {
    names.insert(entry.path().filename().string());
  }
  return names;
}

// A process id that no process has: a child that has exited and been reaped.
long DeadProcessId() {
  const pid_t child = fork();
  if (child == 0) _exit(0);
  int status = 0;
  waitpid(child, &status, 0);
  return static_cast<long>(child);
}

TEST(AtomicFile, FileAppearsOnlyWhenCommittedAndReplacesTheEarlierOneWhole) {
  TempDir dir;
  const std::string path = dir.WriteFile("result.txt", "earlier\n");
  {
    AtomicFile file(path);
    ASSERT_TRUE(file.Open());
    EXPECT_TRUE(file.Write("new "));
    EXPECT_TRUE(file.Print("%d %.2f\n", 7, 0.5));
    // Until the commit the final name keeps the earlier content and the new
    // bytes sit under a temporary name beside it.
    EXPECT_EQ(ReadWholeFile(path), "earlier\n");
    EXPECT_EQ(Names(dir.path()).size(), 2u);
    EXPECT_NE(file.temporaryPath().find(path + kPartialMarker), std::string::npos);
    ASSERT_TRUE(file.Commit()) << file.error();
  }
  EXPECT_EQ(ReadWholeFile(path), "new 7 0.50\n");
  EXPECT_EQ(Names(dir.path()), std::set<std::string>{"result.txt"});

  // Abandoned (as when a failure unwinds): nothing changes, nothing is left.
  {
    AtomicFile file(path);
    ASSERT_TRUE(file.Open());
    file.Write("half");
  }
  EXPECT_EQ(ReadWholeFile(path), "new 7 0.50\n");
  EXPECT_EQ(Names(dir.path()), std::set<std::string>{"result.txt"});
}

TEST(AtomicFile, FailuresNameTheReasonAndLeaveNothing) {
  TempDir dir;
  std::string reason;
  EXPECT_FALSE(WriteFileAtomically(dir.File("missing/x.txt"), "a", 1, &reason));
  EXPECT_EQ(reason, "No such file or directory");

  // A directory cannot be replaced by a file: the rename fails at the end.
  dir.MakeDir("taken");
  EXPECT_FALSE(WriteFileAtomically(dir.File("taken"), "a", 1, &reason));
  EXPECT_EQ(reason, "Is a directory");
  EXPECT_EQ(Names(dir.path()), std::set<std::string>{"taken"});
}

TEST(AtomicFile, LeftoversOfKilledRunsAreRemovedByTheNextWriterOfTheSameFile) {
  TempDir dir;
  const long dead = DeadProcessId();
  const std::string mine = Format("m.yml%s%ld-0", kPartialMarker, dead);
  const std::string other = Format("n.yml%s%ld-3", kPartialMarker, dead);
  // A temporary file of a process that still runs (this one's parent, say)
  // may be in the middle of its write and is kept.
  const std::string running = Format("m.yml%s%ld-1", kPartialMarker, static_cast<long>(getppid()));
  for (const std::string& name : {mine, other, running}) dir.WriteFile(name, "partial");

  std::string reason;
  ASSERT_TRUE(WriteFileAtomically(dir.File("m.yml"), "whole", 5, &reason)) << reason;
  EXPECT_EQ(Names(dir.path()), (std::set<std::string>{"m.yml", other, running}));
  EXPECT_EQ(ReadWholeFile(dir.File("m.yml")), "whole");
}

}  // namespace
}  // namespace pedscan

namespace pedscan {
namespace {

TEST(AtomicFileBatch, FilesAppearTogetherOnCommitAndNeverWithoutIt) {
  testutil::TempDir dir;
  dir.WriteFile("b", "old");
  {
    AtomicFileBatch batch;
    ASSERT_TRUE(batch.Add(dir.File("a"), "one", 3));
    ASSERT_TRUE(batch.Add(dir.File("b"), "two", 3));
    EXPECT_EQ(batch.pending(), 2u);
    EXPECT_FALSE(std::filesystem::exists(dir.File("a")));
    EXPECT_EQ(testutil::ReadWholeFile(dir.File("b")), "old");
    ASSERT_TRUE(batch.Commit());
    EXPECT_EQ(testutil::ReadWholeFile(dir.File("a")), "one");
    EXPECT_EQ(testutil::ReadWholeFile(dir.File("b")), "two");
    // Added but never committed: gone with the batch.
    ASSERT_TRUE(batch.Add(dir.File("c"), "three", 5));
  }
  EXPECT_EQ(Names(dir.path()), (std::set<std::string>{"a", "b"}));

  AtomicFileBatch batch;
  EXPECT_FALSE(batch.Add(dir.File("missing/d"), "x", 1));
  EXPECT_EQ(batch.error(), "No such file or directory");
}

}  // namespace
}  // namespace pedscan
