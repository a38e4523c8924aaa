// Runs the built program and compares everything it prints, byte for byte.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "tests/screen_texts.h"
#include "tests/test_support.h"

namespace {

const std::string kFixtureProgram = VORBANE_FIXTURE_PROGRAM;
std::string ListingFooter(const std::string& command_line) { return Footer(command_line, "output.txt"); }

// A package database under a scratch folder, whose entries are files there.
struct Fixture {
  TempFolder root;
  std::string File(const std::string& name) const { return root.path + "/" + name; }
  void Record(const std::vector<std::string>& names) {
    std::string lines;
    for (const std::string& name : names) lines += "00112233445566778899aabbccddeeff  " + File(name).substr(1) + "\n";
    WriteMd5sums(root.path, "fixture", lines);
  }
  // small, then big: a sparse 64 GiB file that takes a minute or more to hash.
  void RecordSmallThenHuge() {
    WriteFile(File("small"), "abc");
    WriteFile(File("big"), "");
    ASSERT_EQ(truncate(File("big").c_str(), 64LL << 30), 0);
    Record({"small", "big"});
  }
  RunResult Vorbane(const std::vector<std::string>& args) const { return RunProgram(kFixtureProgram, args, root.path); }
};

// count distinct names under folder: folder/1, folder/2, ...
std::vector<std::string> Numbered(const std::string& folder, int count) {
  std::vector<std::string> names;
  for (int i = 1; i <= count; ++i) names.push_back(folder + "/" + std::to_string(i));
  return names;
}

TEST(UsageScreen, AnswersEveryCommandLineThatSelectsNoMode) {
  Fixture fixture;
  for (const auto& words : kUsageCommandLines) {
    const std::vector<std::string> args(words.begin(), words.end());
    const RunResult result = fixture.Vorbane(args);
    EXPECT_EQ(result.output, Usage()) << args.size() << " arguments";
    EXPECT_EQ(result.status, 0);
  }
}

TEST(UsageScreen, IsFollowedByAnErrorLineWhenThePathIsMissing) {
  Fixture fixture;
  for (const char* option : {"-p", "-P"}) {
    const RunResult result = fixture.Vorbane({option});
    EXPECT_EQ(result.output, Usage() + kPathMissingError);
    EXPECT_EQ(result.status, 0);
  }
}

TEST(ListingScreen, ListsEveryRecordedFileOnceWithItsDigestOrThePlaceholder) {
  Fixture fixture;
  WriteFile(fixture.File("abc.txt"), "abc");
  WriteFile(fixture.File("empty"), "");
  mkfifo(fixture.File("fifo").c_str(), 0600);
  fixture.Record({"abc.txt", "missing", "fifo", "abc.txt", "empty"});
  // Another package records two of them again, as the packages of two
  // architectures share their documentation: the first stands.
  const std::string base = fixture.root.path.substr(1);
  WriteMd5sums(
      fixture.root.path, "other",
      "00112233445566778899aabbccddeeff  " + base + "/empty\n00112233445566778899aabbccddeeff  " + base + "/missing\n");
  const RunResult result = fixture.Vorbane({"-l"});
  EXPECT_EQ(result.output,
            Banner() + kListingHeader + Row(1, "900150983cd24fb0d6963f7d28e17f72", fixture.File("abc.txt")) +
                Row(2, kPlaceholder, fixture.File("missing")) + Row(3, kPlaceholder, fixture.File("fifo")) +
                Row(4, "d41d8cd98f00b204e9800998ecf8427e", fixture.File("empty")) +
                ListingFooter(kFixtureProgram + " -l"));
  EXPECT_EQ(result.status, 0);
}

TEST(ListingScreen, ListsADivertedFileWhereItReallyIs) {
  Fixture fixture;
  const std::string base = fixture.root.path.substr(1), hash = "00112233445566778899aabbccddeeff  ";
  WriteFile(fixture.File("pg_config"), "wrapper");
  WriteFile(fixture.File("pg_config.libpq-dev"), "real");
  WriteFile(fixture.File("x"), "");
  WriteFile(fixture.File("x.local"), "local");
  // postgresql-common diverts libpq-dev's pg_config; the administrator
  // diverts x, whoever installs it.
  WriteMd5sums(fixture.root.path, "libpq-dev:amd64", hash + base + "/pg_config\n");
  WriteMd5sums(fixture.root.path, "other", hash + base + "/x\n");
  WriteMd5sums(fixture.root.path, "postgresql-common", hash + base + "/pg_config\n");
  WriteFile(fixture.File("var/lib/dpkg/diversions"), fixture.File("pg_config") + "\n" +
                                                         fixture.File("pg_config.libpq-dev") + "\npostgresql-common\n" +
                                                         fixture.File("x") + "\n" + fixture.File("x.local") + "\n:\n");
  EXPECT_EQ(fixture.Vorbane({"-l"}).output,
            Banner() + kListingHeader +
                Row(1, SystemMd5(fixture.File("pg_config.libpq-dev")), fixture.File("pg_config.libpq-dev")) +
                Row(2, SystemMd5(fixture.File("x.local")), fixture.File("x.local")) +
                Row(3, SystemMd5(fixture.File("pg_config")), fixture.File("pg_config")) +
                ListingFooter(kFixtureProgram + " -l"));
  for (const char* name : {"pg_config.libpq-dev", "pg_config", "x.local"})
    EXPECT_EQ(fixture.Vorbane({"-p", fixture.File(name)}).output,
              Banner() + kCheckHeader + Protected(fixture.File(name)));
  EXPECT_EQ(fixture.Vorbane({"-p", fixture.File("x")}).output,
            Banner() + kCheckHeader + NotProtected(fixture.File("x")));
}

TEST(ListingScreen, GoesOnPastWhatItMayNotReadAndSaysSo) {
  // Run as an unprivileged user, from a copy of the program it may run.
  Fixture fixture;
  chmod(fixture.root.path.c_str(), 0755);
  const std::string program = fixture.File("vorbane");
  ASSERT_EQ(system(("cp '" + kFixtureProgram + "' '" + program + "'").c_str()), 0);
  WriteFile(fixture.File("secret"), "abc");
  chmod(fixture.File("secret").c_str(), 0);
  fixture.Record({"secret"});
  WriteMd5sums(fixture.root.path, "closed", "00112233445566778899aabbccddeeff  closed/entry\n");
  chmod(fixture.File("var/lib/dpkg/info/closed.md5sums").c_str(), 0);
  const std::string said = "vorbane: cannot read ./var/lib/dpkg/info/closed.md5sums: Permission denied\n";
  RunResult result = RunProgram(program, {"-l"}, fixture.root.path, true);
  EXPECT_EQ(result.output,
            Banner() + kListingHeader + Row(1, kPlaceholder, fixture.File("secret")) + ListingFooter(program + " -l"));
  EXPECT_EQ(result.errors, said);
  EXPECT_EQ(result.status, 1);
  result = RunProgram(program, {"-p", "secret"}, fixture.root.path, true);  // the answer may be incomplete
  EXPECT_EQ(result.output, Banner() + kCheckHeader + Protected("secret"));
  EXPECT_EQ(result.errors, said);
  EXPECT_EQ(result.status, 1);
}

TEST(ListingScreen, ListsTheSameWhateverDescriptorsAndCpusThereAre) {
  Fixture fixture;
  std::vector<std::string> names;
  for (int i = 0; i < 300; ++i) {
    names.push_back("f" + std::to_string(i));
    WriteFile(fixture.File(names.back()), std::string(i * 997 % 200000, static_cast<char>(i)));
  }
  fixture.Record(names);
  const RunResult free = fixture.Vorbane({"-l"});
  ASSERT_EQ(free.status, 0);
  const struct {
    const char* limits;
    int cpus;  // 0: this machine's
  } kCases[] = {{"-n 16", 0}, {"-n 1024", 64}, {"-Sn 1024", 256}};
  for (const auto& c : kCases) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    if (c.cpus > 0) continue;  // a sanitizer's runtime must be loaded first; the engine's own tests cover it
#endif
    const std::string preload =
        c.cpus > 0 ? "LD_PRELOAD=" VORBANE_CPUS_PRELOAD " VORBANE_TEST_CPUS=" + std::to_string(c.cpus) + " " : "";
    const RunResult run = RunProgram(
        "/bin/bash", {"-c", std::string("ulimit ") + c.limits + " && " + preload + "exec \"$0\" -l", kFixtureProgram},
        fixture.root.path);
    EXPECT_TRUE(run.output == free.output) << c.limits << ", " << c.cpus << " CPUs: " << run.errors;
    EXPECT_EQ(run.status, 0);
  }
  // Not even one file can be open while the database is read, which more
  // entries than the window holds (65,536) keep open however late a worker
  // comes: the listing stops at its first row, and says why.
  for (const std::string& name : Numbered("missing", 70000)) names.push_back(name);
  fixture.Record(names);
  // (LeakSanitizer, where it is built in, would need descriptors at exit.)
  const RunResult run =
      RunProgram("/bin/bash", {"-c", "ulimit -n 4 && ASAN_OPTIONS=detect_leaks=0 exec \"$0\" -l", kFixtureProgram},
                 fixture.root.path);
  EXPECT_EQ(run.output, Banner() + kListingHeader);
  EXPECT_EQ(run.errors, "vorbane: cannot open " + fixture.File("f0") + ": Too many open files\n");
  EXPECT_EQ(run.status, 1);
}

TEST(ListingScreen, NeverReleasesAWriterWaitingOnAFifo) {
  Fixture fixture;
  ASSERT_EQ(mkfifo(fixture.File("fifo").c_str(), 0600), 0);
  fixture.Record({"fifo"});
  int opened[2];
  ASSERT_EQ(pipe(opened), 0);
  const pid_t writer = fork();
  if (writer == 0) {
    close(opened[0]);
    const int released = open(fixture.File("fifo").c_str(), O_WRONLY) >= 0;  // waits for a reader
    _exit(released && write(opened[1], "!", 1) == 1 ? 0 : 1);
  }
  close(opened[1]);
  EXPECT_EQ(fixture.Vorbane({"-l"}).output, Banner() + kListingHeader + Row(1, kPlaceholder, fixture.File("fifo")) +
                                                ListingFooter(kFixtureProgram + " -l"));
  struct pollfd released = {opened[0], POLLIN, 0};
  EXPECT_EQ(poll(&released, 1, 200), 0) << "the writer got past its open";
  kill(writer, SIGKILL);
  waitpid(writer, nullptr, 0);
  close(opened[0]);
}

TEST(ListingScreen, FiltersByPatternFoldingOnlyAsciiLetters) {
  Fixture fixture;
  MakeFolders(fixture.File("Win.DLL"));
  for (const char* name : {"Win.DLL/a", "b.dll", "c.so", "x\xC3\x84.bin", "x\xC3\xA4.bin"})
    WriteFile(fixture.File(name), "");
  fixture.Record({"Win.DLL/a", "c.so", "b.dll", "x\xC3\x84.bin", "x\xC3\xA4.bin"});
  const std::string empty = "d41d8cd98f00b204e9800998ecf8427e";

  RunResult result = fixture.Vorbane({"-L", ".DlL"});
  EXPECT_EQ(result.output, Banner() + kListingHeader + Row(1, empty, fixture.File("Win.DLL/a")) +
                               Row(2, empty, fixture.File("b.dll")) + ListingFooter(kFixtureProgram + " -L .DlL"));

  result = fixture.Vorbane({"-l", "\xC3\xA4"});  // a non-ASCII capital is not folded
  EXPECT_EQ(result.output, Banner() + kListingHeader + Row(1, empty, fixture.File("x\xC3\xA4.bin")) +
                               ListingFooter(kFixtureProgram + " -l \xC3\xA4"));

  result = fixture.Vorbane({"-l", ""});
  EXPECT_NE(
      result.output.find(Row(5, empty, fixture.File("x\xC3\xA4.bin")) + ListingFooter(kFixtureProgram + " -l ''")),
      std::string::npos);
}

TEST(ListingScreen, ListsTheFilesThatApkAndPacmanRecord) {
  Fixture fixture;
  WriteFile(fixture.File("abc"), "abc");
  WriteFile(fixture.File("empty"), "");
  const std::string folder = fixture.root.path.substr(1);
  const std::string expected = Banner() + kListingHeader +
                               Row(1, "900150983cd24fb0d6963f7d28e17f72", fixture.File("abc")) +
                               Row(2, "d41d8cd98f00b204e9800998ecf8427e", fixture.File("empty")) +
                               Row(3, kPlaceholder, fixture.File("gone")) + ListingFooter(kFixtureProgram + " -l");
  WriteApkDatabase(fixture.root.path, "P:fixture\nF:" + folder + "\nR:abc\nR:empty\nR:gone\n");
  EXPECT_EQ(fixture.Vorbane({"-l"}).output, expected);

  Fixture arch;
  WriteFile(arch.File("abc"), "abc");
  WriteFile(arch.File("empty"), "");
  const std::string arch_folder = arch.root.path.substr(1);
  WritePacmanPackage(
      arch.root.path, "fixture-1-1",
      "%FILES%\n" + arch_folder + "/\n" + arch_folder + "/abc\n" + arch_folder + "/empty\n" + arch_folder + "/gone\n");
  EXPECT_EQ(arch.Vorbane({"-l"}).output,
            Banner() + kListingHeader + Row(1, "900150983cd24fb0d6963f7d28e17f72", arch.File("abc")) +
                Row(2, "d41d8cd98f00b204e9800998ecf8427e", arch.File("empty")) +
                Row(3, kPlaceholder, arch.File("gone")) + ListingFooter(kFixtureProgram + " -l"));
}

TEST(ListingScreen, PrintsTheHeaderAloneWhenNothingMatches) {
  Fixture fixture;
  fixture.Record({"a"});
  EXPECT_EQ(fixture.Vorbane({"-l", "nothing-like-it"}).output, Banner() + kListingHeader);
  TempFolder no_database;
  EXPECT_EQ(RunProgram(kFixtureProgram, {"-l"}, no_database.path).output, Banner() + kListingHeader);
}

TEST(ListingScreen, QuotesTheFooterCommandLineForAShell) {
  Fixture fixture;
  WriteFile(fixture.File("it's $HOME now"), "");
  fixture.Record({"it's $HOME now"});
  const RunResult result = fixture.Vorbane({"-l", "it's $HOME"});
  EXPECT_NE(result.output.find(ListingFooter(kFixtureProgram + " -l 'it'\\''s $HOME'")), std::string::npos)
      << result.output;
}

TEST(ListingScreen, WidensTheNumberFieldPastFiveDigits) {
  Fixture fixture;
  fixture.Record(Numbered("missing", 100001));
  const RunResult result = fixture.Vorbane({"-l"});
  EXPECT_NE(result.output.find(Row(99999, kPlaceholder, fixture.File("missing/99999")) +
                               Row(100000, kPlaceholder, fixture.File("missing/100000")) +
                               Row(100001, kPlaceholder, fixture.File("missing/100001")) +
                               ListingFooter(kFixtureProgram + " -l")),
            std::string::npos);
  EXPECT_NE(result.output.find("\n     1. [MD5:"), std::string::npos);
}

TEST(ListingScreen, StopsWhenItsReaderGoesAwayWithSigpipeIgnored) {
  Fixture fixture;
  WriteFile(fixture.File("big"), std::string(1 << 20, 'b'));
  MakeFolders(fixture.File("big-again"));
  const std::vector<std::string> names = Numbered("big-again", 20000);  // about a minute of hashing
  for (const std::string& name : names) ASSERT_EQ(symlink("../big", fixture.File(name).c_str()), 0);
  fixture.Record(names);
  int ends[2];
  ASSERT_EQ(pipe(ends), 0);
  const pid_t child = fork();
  if (child == 0) {
    signal(SIGPIPE, SIG_IGN);
    dup2(ends[1], STDOUT_FILENO);
    close(ends[0]);
    if (chdir(fixture.root.path.c_str()) != 0) _exit(127);
    execl(kFixtureProgram.c_str(), kFixtureProgram.c_str(), "-l", nullptr);
    _exit(127);
  }
  close(ends[1]);
  char first[100];
  EXPECT_GT(read(ends[0], first, sizeof first), 0);
  close(ends[0]);
  int status = 0;
  for (int waited = 0; waited < 300 && waitpid(child, &status, WNOHANG) == 0; ++waited) usleep(100000);
  if (waitpid(child, &status, WNOHANG) == 0) {
    kill(child, SIGKILL);
    waitpid(child, &status, 0);
    FAIL() << "still hashing 30 s after its reader went away";
  }
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

TEST(ListingScreen, EndsAtOnceWhenItsReaderLeavesWhileALargeFileIsHashed) {
  Fixture fixture;
  fixture.RecordSmallThenHuge();
  // timeout answers 124 if the listing is still hashing after 20 s.
  const std::string command = "cd '" + fixture.root.path + "' && timeout 20 '" + kFixtureProgram +
                              "' -l | head -1 >/dev/null; echo \"${PIPESTATUS[0]}\"";
  FILE* pipe = popen(("bash -c '" + command + "'").c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  char status[16] = "";
  EXPECT_NE(fgets(status, sizeof status, pipe), nullptr);
  pclose(pipe);
  EXPECT_STREQ(status, "141\n");  // SIGPIPE, as for any tool whose reader has gone
}

TEST(CheckScreen, SaysWhetherTheFileExistsAndIsProtected) {
  Fixture fixture;
  WriteFile(fixture.File("recorded"), "");
  WriteFile(fixture.File("other"), "");
  WriteFile(fixture.File("\xFF\xFEnot-utf8"), "");
  symlink("nowhere", fixture.File("dangling").c_str());
  mkfifo(fixture.File("fifo").c_str(), 0600);
  fixture.Record({"recorded", "\xFF\xFEnot-utf8", "fifo"});
  const std::string long_path = "/" + std::string(5000, 'x');
  const struct {
    std::string path;
    std::string message;
  } kCases[] = {
      {fixture.File("recorded"), "\n '" + fixture.File("recorded") + "' is protected by SFC\n"},
      {"recorded", "\n 'recorded' is protected by SFC\n"},
      {fixture.File("\xFF\xFEnot-utf8"), "\n '" + fixture.File("\xFF\xFEnot-utf8") + "' is protected by SFC\n"},
      {fixture.File("other"), "\n '" + fixture.File("other") + "' is NOT protected by SFC\n"},
      {"fifo", "\n 'fifo' is protected by SFC\n"},
      {fixture.root.path, "\n '" + fixture.root.path + "' is NOT protected by SFC\n"},
      {fixture.File("missing"), "\n Specified file ['" + fixture.File("missing") + "'] does not exist\n"},
      {fixture.File("dangling"), "\n Specified file ['" + fixture.File("dangling") + "'] does not exist\n"},
      {"", "\n Specified file [''] does not exist\n"},
      {long_path, "\n Specified file ['" + long_path + "'] does not exist\n"},
  };
  for (const auto& c : kCases) {
    const RunResult result = fixture.Vorbane({"-P", c.path});
    EXPECT_EQ(result.output, Banner() + kCheckHeader + c.message) << c.path.substr(0, 80);
    EXPECT_EQ(result.status, 0);
  }
}

TEST(CheckScreen, AnswersFromTheRealDatabaseInTheShippedProgram) {
  if (access("/var/lib/dpkg/info/coreutils.md5sums", R_OK) != 0) GTEST_SKIP() << "no dpkg database here";
  TempFolder folder;
  const RunResult result = RunProgram(VORBANE_PROGRAM, {"-p", "/usr/bin/ls"}, folder.path);
  EXPECT_EQ(result.output, Banner() + kCheckHeader + "\n '/usr/bin/ls' is protected by SFC\n");
}

// Runs the program on a pseudo-terminal, as a user at a terminal would.
std::string RunOnTerminal(const std::vector<std::string>& args, const std::string& cwd, const char* no_color,
                          const std::string& program = kFixtureProgram) {
  int terminal;
  const pid_t child = forkpty(&terminal, nullptr, nullptr, nullptr);
  if (child == 0) {
    setenv("TERM", "xterm", 1);
    if (no_color)
      setenv("NO_COLOR", no_color, 1);
    else
      unsetenv("NO_COLOR");
    if (chdir(cwd.c_str()) != 0) _exit(127);
    std::vector<char*> argv = {const_cast<char*>(program.c_str())};
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    execv(program.c_str(), argv.data());
    _exit(127);
  }
  std::string output;
  char buffer[4096];
  ssize_t got;
  while ((got = read(terminal, buffer, sizeof buffer)) > 0) output.append(buffer, static_cast<size_t>(got));
  close(terminal);
  waitpid(child, nullptr, 0);
  for (size_t at; (at = output.find("\r\n")) != std::string::npos;) output.erase(at, 1);  // the terminal's own CR
  return output;
}

TEST(Colours, ColourEachPartOfEveryScreenAndResetAtTheEnd) {
  Fixture fixture;
  WriteFile(fixture.File("abc"), "abc");
  fixture.Record({"abc"});
  const std::string white = "\033[97;40m", red = "\033[91;40m", green = "\033[92;40m", reset = "\033[0m";
  EXPECT_EQ(RunOnTerminal({}, fixture.root.path, nullptr), white + Banner() + green + UsageBody() + reset);
  EXPECT_EQ(RunOnTerminal({"-l"}, fixture.root.path, nullptr),
            white + Banner() + red + kListingHeader + green +
                Row(1, "900150983cd24fb0d6963f7d28e17f72", fixture.File("abc")) + white +
                ListingFooter(kFixtureProgram + " -l") + reset);
  EXPECT_EQ(RunOnTerminal({"-p", "abc"}, fixture.root.path, nullptr),
            white + Banner() + green + kCheckHeader + red + "\n 'abc' is protected by SFC\n" + reset);
  EXPECT_EQ(RunOnTerminal({"-p"}, fixture.root.path, nullptr),
            white + Banner() + green + UsageBody() + reset + kPathMissingError);
}

TEST(Colours, AreLeftOutWhenOutputIsNotAColourTerminal) {
  Fixture fixture;
  EXPECT_EQ(RunOnTerminal({}, fixture.root.path, "1"), Usage());
  EXPECT_EQ(fixture.Vorbane({}).output.find('\033'), std::string::npos);
}

// What the program writes to standard error, then its status, with standard
// output redirected as the shell text redirect says.
std::string RunRedirected(const Fixture& fixture, const std::string& args, const std::string& redirect) {
  const std::string command =
      "cd '" + fixture.root.path + "' && '" + kFixtureProgram + "' " + args + " 2>&1 " + redirect + "; echo status=$?";
  std::string said;
  FILE* pipe = popen(command.c_str(), "r");
  char buffer[256];
  for (size_t got; pipe != nullptr && (got = fread(buffer, 1, sizeof buffer, pipe)) > 0;) said.append(buffer, got);
  if (pipe != nullptr) pclose(pipe);
  return said;
}

TEST(Output, AFailedWriteIsReportedAndEndsWithStatusOne) {
  Fixture fixture;
  WriteFile(fixture.File("abc"), "abc");
  fixture.Record(Numbered("missing", 20000));  // about 2 MB of listing
  const std::string failed = "vorbane: write error: No space left on device\nstatus=1\n";
  for (const char* args : {"", "-l", "-p abc", "-p"}) EXPECT_EQ(RunRedirected(fixture, args, ">/dev/full"), failed);
  // A file system that fills up part way through the listing.
  TempFolder small;
  EXPECT_EQ(RunRedirected(fixture, "-l",
                          ">/dev/null; unshare -m sh -c 'mount -t tmpfs -o size=1m none " + small.path + " && '" +
                              kFixtureProgram + "' -l 2>&1 >" + small.path + "/saved'"),
            failed);
  EXPECT_EQ(RunRedirected(fixture, "-l", ">/dev/null"), "status=0\n");
}

TEST(Output, ArrivesWholeThroughANonBlockingPipeReadSlowly) {
  Fixture fixture;
  fixture.Record(Numbered("missing", 100000));
  int ends[2];
  ASSERT_EQ(pipe(ends), 0);
  fcntl(ends[1], F_SETFL, O_NONBLOCK);  // as an event loop that spawns tools leaves it
  const pid_t child = fork();
  if (child == 0) {
    dup2(ends[1], STDOUT_FILENO);
    close(ends[0]);
    close(ends[1]);
    if (chdir(fixture.root.path.c_str()) != 0) _exit(127);
    execl(kFixtureProgram.c_str(), kFixtureProgram.c_str(), "-l", nullptr);
    _exit(127);
  }
  close(ends[1]);
  std::string output;
  char buffer[4096];
  for (ssize_t got; (got = read(ends[0], buffer, sizeof buffer)) > 0; usleep(20))
    output.append(buffer, static_cast<size_t>(got));
  close(ends[0]);
  int status = -1;
  waitpid(child, &status, 0);
  std::string expected = Banner() + kListingHeader;
  for (int row = 1; row <= 100000; ++row)
    expected += Row(row, kPlaceholder, fixture.File("missing/" + std::to_string(row)));
  expected += ListingFooter(kFixtureProgram + " -l");
  EXPECT_TRUE(output == expected) << output.size() << " bytes arrived of " << expected.size();
  EXPECT_EQ(status, 0);
}

TEST(Output, ATerminalSeesEachRowBeforeTheNextFileIsHashed) {
  Fixture fixture;
  fixture.RecordSmallThenHuge();
  int terminal;
  const pid_t child = forkpty(&terminal, nullptr, nullptr, nullptr);
  if (child == 0) {
    if (chdir(fixture.root.path.c_str()) != 0) _exit(127);
    execl(kFixtureProgram.c_str(), kFixtureProgram.c_str(), "-l", nullptr);
    _exit(127);
  }
  std::string output;
  struct pollfd readable = {terminal, POLLIN, 0};
  char buffer[4096];
  for (int waited = 0; output.find(fixture.File("small") + " ") == std::string::npos && waited < 100; ++waited) {
    ssize_t got;
    if (poll(&readable, 1, 100) > 0 && (got = read(terminal, buffer, sizeof buffer)) > 0)
      output.append(buffer, static_cast<size_t>(got));
  }
  kill(child, SIGKILL);
  waitpid(child, nullptr, 0);
  close(terminal);
  EXPECT_NE(output.find(fixture.File("small") + " "), std::string::npos) << "row 1 was not shown within 10 s";
}

TEST(Output, ControlsInPathsAndTheFooterShowAsQuestionMarksOnlyOnATerminal) {
  Fixture fixture;
  const struct {
    std::string name, shown;
  } kNames[] = {
      {"a\033]0;title\007b\x7f\tc", "a?]0;title?b??c"},
      {"red\033[31m", "red?[31m"},
      {"lone\x9b"
       "31m",
       "lone?31m"},  // a C1 control (CSI) as a raw byte
      {"encoded\xc2\x9b"
       "31m",
       "encoded?31m"},                             // the same in UTF-8
      {"overlong\xe0\x80\x9b", "overlong\xe0??"},  // not UTF-8: its C1 bytes
      {"\xc3\xa9t\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80", "\xc3\xa9t\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80"},  // UTF-8
      {"latin\xe9", "latin\xe9"},  // not UTF-8, and no control
  };
  std::vector<std::string> names;
  for (const auto& n : kNames) {
    WriteFile(fixture.File(n.name), "");
    names.push_back(n.name);
  }
  fixture.Record(names);
  const std::string empty = "d41d8cd98f00b204e9800998ecf8427e";
  const std::string on_terminal = RunOnTerminal({"-l"}, fixture.root.path, "1");
  const std::string redirected = fixture.Vorbane({"-l"}).output;
  for (size_t i = 0; i < names.size(); ++i) {
    EXPECT_NE(on_terminal.find(Row(static_cast<int>(i + 1), empty, fixture.File(kNames[i].shown))), std::string::npos)
        << kNames[i].shown;
    EXPECT_NE(redirected.find(Row(static_cast<int>(i + 1), empty, fixture.File(kNames[i].name))), std::string::npos)
        << kNames[i].shown;
  }
  EXPECT_NE(RunOnTerminal({"-p", names[0]}, fixture.root.path, "1").find(Protected(kNames[0].shown)),
            std::string::npos);
  // The footer repeats the pattern: shown masked, and exact to paste back.
  EXPECT_NE(
      RunOnTerminal({"-l", "\033[31m"}, fixture.root.path, "1").find(ListingFooter(kFixtureProgram + " -l '?[31m'")),
      std::string::npos);
  EXPECT_NE(fixture.Vorbane({"-l", "\033[31m"}).output.find(ListingFooter(kFixtureProgram + " -l '\033[31m'")),
            std::string::npos);
}

TEST(Colours, AreTheTerminalsOwnWhileAListingIsStopped) {
  Fixture fixture;
  fixture.RecordSmallThenHuge();
  // A job-control shell stops the listing while it hashes, and continues it.
  const std::string shown = RunOnTerminal(
      {"-c",
       "set -m; \"$0\" -l & sleep 1; kill -TSTP $!; sleep 0.5; echo '<stopped>'; kill -CONT $!; sleep 0.5;"
       "echo '<continued>'; kill -KILL $!",
       kFixtureProgram},
      fixture.root.path, nullptr, "/bin/bash");
  const std::string reset = "\033[0m", green = "\033[92;40m";
  const size_t stopped = shown.find("<stopped>"), continued = shown.find("<continued>");
  ASSERT_NE(continued, std::string::npos) << shown;
  EXPECT_EQ(shown.rfind("\033[", stopped), shown.rfind(reset, stopped)) << "the terminal's colours before the stop";
  EXPECT_NE(shown.find(fixture.File("small"), 0), std::string::npos);
  EXPECT_EQ(shown.find("\033[", stopped), shown.find(green, stopped)) << "the row colour again once continued";
  EXPECT_LT(shown.find(green, stopped), continued);
}

}  // namespace
