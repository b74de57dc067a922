#include "pack/pack_options.h"

#include <gtest/gtest.h>

#include "pack/test_support.h"

namespace {

PackOptions parse(const std::vector<std::string>& args) { return parse_pack_options(args); }

TEST(PackOptions, ReadsPackingOptionsInEitherSpelling) {
  PackOptions spaced = parse({"-o", "out.run", "--run", "sh pkg/setup.sh", "-9", "--stub",
                              "/opt/sfx", "--sign", "key", "pkg/"});
  EXPECT_EQ(spaced.action, PackAction::pack);
  EXPECT_EQ(spaced.output, "out.run");
  EXPECT_EQ(spaced.run_command, "sh pkg/setup.sh");
  EXPECT_EQ(spaced.level, 9);
  EXPECT_EQ(spaced.stub, "/opt/sfx");
  EXPECT_EQ(spaced.signing_key, "key");
  EXPECT_EQ(spaced.operand, "pkg/");
  EXPECT_EQ(spaced.method, CompressionMethod::deflate);

  PackOptions joined = parse({"pkg", "-oout.run", "--run=a=b", "--stub=s", "-3", "-0"});
  EXPECT_EQ(joined.output, "out.run");
  EXPECT_EQ(joined.run_command, "a=b");  // split at the first '=' only
  EXPECT_EQ(joined.stub, "s");
  EXPECT_EQ(joined.level, 0);  // the last level given
  EXPECT_EQ(parse({"--output=x", "pkg"}).output, "x");
  EXPECT_EQ(parse({"-o", "x", "--sign=k", "pkg"}).signing_key, "k");
  EXPECT_EQ(parse({"-o", "x", "--method", "xz", "pkg"}).method, CompressionMethod::xz);
  EXPECT_EQ(parse({"-o", "x", "--method=zstd", "--method=bzip2", "pkg"}).method,
            CompressionMethod::bzip2);
  EXPECT_EQ(parse({"-o", "x", "--method=store", "pkg"}).method, CompressionMethod::store);
  EXPECT_FALSE(parse({"-o", "x", "pkg"}).signing_key.has_value());
  EXPECT_EQ(parse({"-o", "x", "--arch", "aarch64", "pkg"}).architecture, Architecture::aarch64);
  EXPECT_EQ(parse({"-o", "x", "--arch=x86_64", "pkg"}).architecture, Architecture::x86_64);
  EXPECT_FALSE(parse({"-o", "x", "pkg"}).architecture.has_value());
}

TEST(PackOptions, TellsAnEmptyCommandFromNone) {
  PackOptions plain = parse({"-o", "x", "pkg"});
  EXPECT_FALSE(plain.run_command.has_value());
  EXPECT_EQ(plain.level, default_level);
  EXPECT_EQ(plain.stub, "");
  EXPECT_EQ(parse({"-o", "x", "--run", "", "pkg"}).run_command, "");
  // A value that looks like an option is still the value.
  EXPECT_EQ(parse({"-o", "x", "--run", "-9", "pkg"}).run_command, "-9");
}

TEST(PackOptions, OperandsAfterDoubleDashMayLookLikeOptions) {
  EXPECT_EQ(parse({"-o", "x", "--", "-pkg"}).operand, "-pkg");
  EXPECT_EQ(parse({"-o", "x", "-"}).operand, "-");
}

TEST(PackOptions, ListAndCheckTakeOneInstaller) {
  PackOptions list = parse({"--list", "installer.run"});
  EXPECT_EQ(list.action, PackAction::list);
  EXPECT_EQ(list.operand, "installer.run");
  EXPECT_EQ(parse({"i.run", "--check"}).action, PackAction::check);
  EXPECT_EQ(parse({"--check", "--check", "i.run"}).action, PackAction::check);
  // As --option=VALUE, as the other long options take theirs.
  for (auto [arg, action] : {std::pair{"--list=i.run", PackAction::list},
                             std::pair{"--check=i.run", PackAction::check}}) {
    PackOptions joined = parse({arg});
    EXPECT_EQ(joined.action, action) << arg;
    EXPECT_EQ(joined.operand, "i.run") << arg;
  }
  EXPECT_EQ(parse({"--verify=i.run", "--signers=s"}).operand, "i.run");
}

TEST(PackOptions, VerifyTakesAnInstallerAndItsSigners) {
  PackOptions verify = parse({"--verify", "i.run", "--signers", "allowed", "--identity=a@b"});
  EXPECT_EQ(verify.action, PackAction::verify);
  EXPECT_EQ(verify.operand, "i.run");
  EXPECT_EQ(verify.signers, "allowed");
  EXPECT_EQ(verify.identity, "a@b");
  EXPECT_FALSE(parse({"--signers=s", "i.run", "--verify"}).identity.has_value());
}

TEST(PackOptions, HelpAndVersionNeedNothingElse) {
  EXPECT_EQ(parse({"--help"}).action, PackAction::help);
  EXPECT_EQ(parse({"-o", "x", "-h"}).action, PackAction::help);
  EXPECT_EQ(parse({"--version"}).action, PackAction::version);
  EXPECT_EQ(parse({"--version", "--help"}).action, PackAction::help);
}

TEST(PackOptions, RefusesCommandLinesThatAskForNothingSensible) {
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{"pkg"}, "no output file: give -o FILE"},
      {{"-o", "", "pkg"}, "no output file: give -o FILE"},
      {{"-o", "x"}, "no folder given"},
      {{"-o", "x", "a", "b"}, "too many arguments: b"},
      {{"--list"}, "no installer given"},
      {{"--check", "a", "b"}, "too many arguments: b"},
      {{"-o"}, "missing argument: -o"},
      {{"pkg", "--run"}, "missing argument: --run"},
      {{"--bogus", "pkg"}, "unknown option: --bogus"},
      {{"-x", "pkg"}, "unknown option: -x"},
      {{"-10", "pkg"}, "unknown option: -10"},
      {{"--help=1"}, "unknown option: --help=1"},
      {{"-o", "x", "--method", "lz4", "pkg"},
       "unknown method: lz4 (store, deflate, bzip2, zstd or xz)"},
      {{"-o", "x", "--method=lzma", "pkg"},
       "unknown method: lzma (store, deflate, bzip2, zstd or xz)"},
      {{"-o", "x", "--method=ZSTD", "pkg"},
       "unknown method: ZSTD (store, deflate, bzip2, zstd or xz)"},
      {{"pkg", "-o", "x", "--method"}, "missing argument: --method"},
      {{"-o", "x", "--arch", "arm64", "pkg"},
       "unknown architecture: arm64 (x86_64 or aarch64)"},
      {{"--check", "a", "--arch", "aarch64"}, "conflicting options: --check and --arch"},
      {{"--list", "a", "--method", "xz"}, "conflicting options: --list and --method"},
      {{"--list", "--check", "a"}, "conflicting options: --list and --check"},
      {{"--list", "a", "--run", "x"}, "conflicting options: --list and --run"},
      {{"-5", "--check", "a"}, "conflicting options: --check and -5"},
      {{"--verify", "a"}, "no signers file: give --signers FILE"},
      {{"--verify", "a", "--signers", ""}, "no signers file: give --signers FILE"},
      {{"--verify", "--signers", "s"}, "no installer given"},
      {{"--verify", "a", "--signers", "s", "--sign", "k"},
       "conflicting options: --verify and --sign"},
      {{"--check", "a", "--signers", "s"}, "conflicting options: --check and --signers"},
      {{"-o", "x", "--identity", "i", "pkg"}, "conflicting options: -o and --identity"},
      {{"--signers", "s", "a"}, "option only for --verify: --signers"},
      {{"--sign", "k", "pkg"}, "no output file: give -o FILE"},
  };
  for (const auto& [args, message] : cases) {
    std::string joined;
    for (const std::string& arg : args) joined += "[" + arg + "]";
    EXPECT_EQ(failure_of([&] { parse(args); }), message) << joined;
    EXPECT_THROW(parse(args), UsageError) << joined;
  }
}

TEST(PackSourceDateEpoch, TakesWholeSecondsOnly) {
  EXPECT_EQ(source_date_epoch(nullptr), std::nullopt);
  EXPECT_EQ(source_date_epoch(""), std::nullopt);
  EXPECT_EQ(source_date_epoch("0"), 0);
  EXPECT_EQ(source_date_epoch("1700000000"), 1700000000);
  for (const char* bad : {"abc", "12x", " 5", "-5", "1.5", "99999999999999999999"})
    EXPECT_EQ(failure_of([&] { source_date_epoch(bad); }),
              std::string("bad SOURCE_DATE_EPOCH: ") + bad);
}

}  // namespace
