// SPDX-License-Identifier: GPL-2.0-or-later
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <cerrno>
#include <filesystem>

#include "platform/directory_owner.h"
#include "platform/directory_view.h"
#include "platform/file_names.h"
#include "platform/file_search.h"
#include "platform/files.h"
#include "platform/program_home.h"
#include "support/system_user.h"
#include "support/temp_dir.h"

namespace kestrel::platform {
namespace {

TEST(FileNames, UpperCasedPathsFindLowerCaseTrees) {
  testing::TempDir dir;
  dir.Write("fido/outbound/00ec0064.flo", "x");
  dir.Write("fido/outbound.001/007b002d.out", "yy");
  std::string upper = dir.path() + "\\FIDO\\OUTBOUND\\00EC0064.FLO";
  EXPECT_EQ(ResolveName(upper), dir.path() + "/fido/outbound/00ec0064.flo");
  EXPECT_TRUE(FileExists(upper));
  EXPECT_EQ(FileSize(dir.path() + "/FIDO/OUTBOUND.001/007B002D.OUT"), 2u);
  EXPECT_TRUE(DirectoryExists(dir.path() + "/Fido\\Outbound"));
}

TEST(FileNames, ExactNameWinsThenFirstInByteOrder) {
  testing::TempDir dir;
  dir.Write("Mail.txt", "1");
  dir.Write("mail.txt", "2");
  dir.Write("MAIL.TXT", "3");
  EXPECT_EQ(ResolveName(dir.path() + "/mail.txt"), dir.path() + "/mail.txt");
  EXPECT_EQ(ResolveName(dir.path() + "/mAIL.txt"), dir.path() + "/MAIL.TXT");
}

// A run's view of a directory answers like the directory itself, for the
// names it held, the names noted since, and not for names gone since.
TEST(FileNames, ADirectoryViewAnswersLikeTheDirectory) {
  testing::TempDir dir;
  dir.Write("in/Mail.txt", "1");
  dir.Write("in/mail.txt", "2");
  dir.Write("in/gone.pkt", "3");
  const std::string in = dir.path() + "/IN/";
  const DirectoryView view(in);
  EXPECT_EQ(ResolveName(in + "MAIL.TXT"), dir.path() + "/in/Mail.txt");
  dir.Write("in/new.zip", "4");
  NoteName(dir.path() + "/in/new.zip");
  EXPECT_EQ(ResolveName(in + "NEW.ZIP"), dir.path() + "/in/new.zip");
  std::filesystem::remove(dir.File("in/gone.pkt"));
  EXPECT_EQ(ResolveName(in + "GONE.PKT"), dir.path() + "/in/GONE.PKT");
}

TEST(FileNames, MissingTailKeepsItsName) {
  testing::TempDir dir;
  dir.MakeDir("inbound");
  EXPECT_EQ(ResolveName(dir.path() + "/INBOUND/NEW.PKT"), dir.path() + "/inbound/NEW.PKT");
  EXPECT_EQ(ResolveName(dir.path() + "/NOPE/X"), dir.path() + "/NOPE/X");
}

TEST(FileNames, AbsoluteAndBaseNames) {
  EXPECT_TRUE(IsAbsoluteName("\\FIDO"));
  EXPECT_FALSE(IsAbsoluteName("FIDO"));
  EXPECT_EQ(MakeAbsoluteName("/x/y"), "/x/y");
  EXPECT_EQ(MakeAbsoluteName("IN\\").back(), '\\');
  EXPECT_TRUE(IsAbsoluteName(MakeAbsoluteName("IN\\")));
  EXPECT_EQ(BaseName("C:\\A\\B.ZIP"), "B.ZIP");
  EXPECT_EQ(BaseName("/a/b/c.pkt"), "c.pkt");
}

TEST(FileNames, RelativeNamesAreTakenFromTheProgramsHome) {
  testing::TempDir dir;
  dir.Write("c:/files/a.zip", "a");
  setenv("KESTREL_HOME", dir.path().c_str(), 1);
  EXPECT_EQ(InHome("IN\\"), dir.path() + "/IN\\");
  EXPECT_EQ(InHome("/var/in"), "/var/in");
  EXPECT_EQ(ResolveName("C:\\FILES\\A.ZIP"), dir.path() + "/c:/files/a.zip");
  EXPECT_TRUE(FileExists("c:/FILES/a.zip"));
  EXPECT_EQ(FindFiles("C:\\FILES\\*.ZIP").files.size(), 1u);
  // A relative home itself is taken from the working directory.
  setenv("KESTREL_HOME", "kestrel/home", 1);
  EXPECT_EQ(ProgramHome(), std::filesystem::current_path().string() + "/kestrel/home");
  unsetenv("KESTREL_HOME");
}

TEST(Wildcards, MatchIgnoringCase) {
  EXPECT_TRUE(WildcardMatch("*.?UT", "00ec0064.out"));
  EXPECT_TRUE(WildcardMatch("*.?LO", "00EC0064.HLO"));
  EXPECT_FALSE(WildcardMatch("*.?LO", "00EC0064.LO"));
  EXPECT_TRUE(WildcardMatch("*", "anything"));
  EXPECT_TRUE(WildcardMatch("A*B*C", "aXXbYYc"));
  EXPECT_FALSE(WildcardMatch("A*B*C", "aXXbYY"));
  EXPECT_TRUE(WildcardMatch("*.MSG", "1.msg"));
}

TEST(FindFiles, TellsMissingDirectoryFromNoMatch) {
  testing::TempDir dir;
  dir.Write("out/b.out", "12345");
  dir.Write("out/a.flo", "");
  dir.MakeDir("out/sub.pnt");
  dir.MakeDir("empty");
  SearchResult found = FindFiles(dir.path() + "\\OUT\\*.?UT");
  ASSERT_EQ(found.outcome, SearchOutcome::Found);
  ASSERT_EQ(found.files.size(), 1u);
  EXPECT_EQ(found.files[0].name, "b.out");
  EXPECT_EQ(found.files[0].size, 5u);
  EXPECT_EQ(found.files[0].path, dir.path() + "/out/b.out");
  EXPECT_FALSE(found.files[0].is_directory);

  SearchResult all = FindFiles(dir.path() + "/OUT/*");
  ASSERT_EQ(all.files.size(), 3u);
  EXPECT_EQ(all.files[0].name, "a.flo");
  EXPECT_TRUE(all.files[2].is_directory);

  EXPECT_EQ(FindFiles(dir.path() + "/EMPTY/*.?UT").outcome, SearchOutcome::NoMatch);
  EXPECT_EQ(FindFiles(dir.path() + "/MISSING/*.?UT").outcome, SearchOutcome::NoDirectory);
}

// A program that may not give a file's owner away leaves the file as it was
// (the rewrite under the owner: outbound/record_sent_test.cpp).
TEST(Files, ReplaceKeepingOwnerChangesNothingWhenTheOwnerCannotBeGiven) {
  const auto mailer = testing::UnprivilegedUser("kestrelftn");
  if (!mailer) GTEST_SKIP() << "needs root";
  testing::TempDir dir;
  ASSERT_EQ(chmod(dir.path().c_str(), 0777), 0);
  const std::string roots = dir.Write("00ec0064.flo", "root's\n");
  ASSERT_EQ(chmod(roots.c_str(), 0666), 0);
  const auto outcome = testing::RunAs(*mailer, mailer->gid, [&] {
    const bool refused = ReplaceKeepingOwner(roots, "mailer's\n") == ReplaceOutcome::OwnerNotKept;
    return std::string(refused && errno == EPERM ? "refused" : "not refused");
  });
  EXPECT_EQ(outcome, "refused");
  EXPECT_EQ(dir.Read("00ec0064.flo"), "root's\n");
  struct stat info {};
  ASSERT_EQ(stat(roots.c_str(), &info), 0);
  EXPECT_EQ(info.st_uid, 0u);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()),
                          std::filesystem::directory_iterator()),
            1);
}

TEST(Files, FilesARootRunCreatesTakeTheirDirectorysOwner) {
  const auto mailer = testing::UnprivilegedUser("kestrelftn");
  if (!mailer) GTEST_SKIP() << "needs root";
  testing::TempDir dir;
  const std::string inbound = dir.MakeDir("inbound");
  ASSERT_EQ(chown(inbound.c_str(), mailer->uid, mailer->gid), 0);
  const std::string received = dir.Write("inbound/00ec0064.pkt", "packet");
  EXPECT_TRUE(GiveDirectoryOwner(received, inbound));
  struct stat info {};
  ASSERT_EQ(stat(received.c_str(), &info), 0);
  EXPECT_EQ(info.st_uid, mailer->uid);
  EXPECT_EQ(info.st_gid, mailer->gid);
  EXPECT_FALSE(GiveDirectoryOwner(dir.File("inbound/missing"), inbound));
}

TEST(Files, ReplaceIsWholeAndKeepsTheRealName) {
  testing::TempDir dir;
  dir.Write("out/00ec0064.flo", "old\r\n");
  ASSERT_TRUE(ReplaceFileContent(dir.path() + "/OUT/00EC0064.FLO", "new\r\n"));
  EXPECT_EQ(dir.Read("out/00ec0064.flo"), "new\r\n");
  EXPECT_FALSE(dir.Exists("out/00EC0064.FLO"));
  EXPECT_FALSE(ReplaceFileContent(dir.path() + "/missing-dir/x", "y"));
  // What a killed replacement left goes; another file's and other names stay.
  dir.Write("out/00ec0064.flo.kestrel-Ab3xYz", "torn");
  dir.Write("out/00ec0064.flo.kestrel-partial", "a received file");
  dir.Write("out/00ec0065.flo.kestrel-Ab3xYz", "another's");
  RemoveUnfinishedReplacements(dir.path() + "/OUT/00EC0064.FLO");
  EXPECT_FALSE(dir.Exists("out/00ec0064.flo.kestrel-Ab3xYz"));
  EXPECT_TRUE(dir.Exists("out/00ec0064.flo.kestrel-partial"));
  EXPECT_TRUE(dir.Exists("out/00ec0065.flo.kestrel-Ab3xYz"));
  EXPECT_EQ(dir.Read("out/00ec0064.flo"), "new\r\n");
}

TEST(Files, ExclusiveCreateRenameTruncateDelete) {
  testing::TempDir dir;
  const std::string busy = dir.path() + "/00EC0064.BSY";
  EXPECT_TRUE(CreateFileExclusive(busy, "4711\n"));
  EXPECT_FALSE(CreateFileExclusive(busy, "4712\n"));
  dir.Write("a.pkt", "data");
  EXPECT_TRUE(TruncateFile(dir.path() + "/A.PKT"));
  EXPECT_EQ(FileSize(dir.path() + "/a.pkt"), 0u);
  EXPECT_TRUE(RenameFile(dir.path() + "/A.PKT", dir.path() + "/b.pkt"));
  EXPECT_TRUE(DeleteFile(dir.path() + "/B.PKT"));
  EXPECT_FALSE(DeleteFile(dir.path() + "/B.PKT"));
  EXPECT_EQ(ReadFilePrefix(dir.path() + "/00ec0064.bsy", 10), "4711\n");
  EXPECT_FALSE(ReadFilePrefix(dir.path() + "/none", 10).has_value());
}

}  // namespace
}  // namespace kestrel::platform
