#include "command_line.h"

#include <getopt.h>

#include <cstring>
#include <string_view>

#ifndef DREL_VERSION
#define DREL_VERSION "unknown"
#endif

namespace drel::report {
namespace {

enum LongOnly : int { kUnder = 256, kExclude, kNoSystem, kTarget, kFiles, kWide, kAll, kVersion };

const option kLongOptions[] = {
    {"under", required_argument, nullptr, kUnder},
    {"exclude", required_argument, nullptr, kExclude},
    {"no-system", no_argument, nullptr, kNoSystem},
    {"null", no_argument, nullptr, '0'},
    {"target", required_argument, nullptr, kTarget},
    {"files", no_argument, nullptr, kFiles},
    {"wide", no_argument, nullptr, kWide},
    {"all", no_argument, nullptr, kAll},
    {"help", no_argument, nullptr, 'h'},
    {"version", no_argument, nullptr, kVersion},
    {nullptr, 0, nullptr, 0},
};

struct OptionHelp {
  unsigned bit;
  const char* text;
};

const OptionHelp kOptionHelp[] = {
    {kFilterOptions,
     "  --under DIR     keep only paths under DIR (repeatable: under any of them)\n"},
    {kFilterOptions, "  --exclude DIR   drop paths under DIR (repeatable)\n"},
    {kFilterOptions,
     "  --no-system     drop /usr, /lib, /lib64, /bin, /sbin, /etc, /proc, /sys, /dev, /run\n"
     "                  and the tracer's socket in /tmp\n"},
    {kNulOption, "  -0, --null      end each path with NUL instead of a newline (for xargs -0)\n"},
    {kAllOption, "  --all           also written files that no longer exist\n"},
    {kTargetOption, "  --target NAME   a target of the rule (repeatable; at least one)\n"},
    {kFilesOption, "  --files         under each process, the files it touched\n"},
    {kWideOption, "  --wide          do not cut long lines to the terminal's width\n"},
};

unsigned bit_of(int opt) {
  switch (opt) {
    case kUnder:
    case kExclude:
    case kNoSystem:
      return kFilterOptions;
    case '0':
      return kNulOption;
    case kTarget:
      return kTargetOption;
    case kFiles:
      return kFilesOption;
    case kWide:
      return kWideOption;
    case kAll:
      return kAllOption;
    default:
      return 0;
  }
}

}  // namespace

const Subcommand* find_subcommand(std::string_view name) {
  for (const auto& s : subcommands())
    if (name == s.name) return &s;
  return nullptr;
}

namespace {

ParseOutcome usage_error(const std::string& problem, const std::string& usage) {
  ParseOutcome o;
  o.status = 2;
  o.err = "drel-report: " + problem + "\n" + usage;
  return o;
}

ParseOutcome print(std::string text) {
  ParseOutcome o;
  o.out = std::move(text);
  return o;
}

std::string version_text() {
  return std::string("drel-report ") + DREL_VERSION + "\n";
}

// "--under" for messages; "-0" has a long name too, but the short one is what people type.
std::string name_of(int opt) {
  if (opt == '0') return "-0";
  if (opt == 'h') return "--help";
  for (const option* o = kLongOptions; o->name != nullptr; ++o)
    if (o->val == opt) return std::string("--") + o->name;
  return "?";
}

}  // namespace

std::string subcommand_usage(const Subcommand& s) {
  return std::string("usage: drel-report ") + s.name + " " + s.synopsis + "\n";
}

std::string general_usage() {
  std::string u = "usage: drel-report <command> [options] <report>\n";
  u += "       drel-report --help | --version\n";
  return u;
}

namespace {

std::string general_help() {
  std::string h = general_usage();
  h += "\nReads a trace report written by drel-tracer or drel-tracer-preload; \"-\" reads it from\n"
       "standard input. Commands:\n";
  for (const auto& s : subcommands()) {
    std::string name = s.name;
    name.resize(9, ' ');
    h += "  " + name + s.summary + "\n";
  }
  h += "\n\"drel-report <command> --help\" shows a command's options.\n"
       "Exit status: 0 done, 1 a report could not be read, 2 bad arguments;\n"
       "diff: 0 the reports agree, 1 they differ, 2 trouble.\n";
  return h;
}

std::string subcommand_help(const Subcommand& s) {
  std::string h = subcommand_usage(s) + "\n" + s.summary + "\n";
  std::string opts;
  for (const auto& o : kOptionHelp)
    if ((s.options & o.bit) != 0) opts += o.text;
  h += "\noptions:\n" + opts + "  -h, --help      this help\n";
  if ((s.options & kFilterOptions) != 0)
    h += "\nThe filters (--under, --exclude, --no-system) compose; DIR may be relative.\n";
  return h;
}

}  // namespace

ParseOutcome parse_command_line(int argc, char** argv) {
  if (argc < 2) return usage_error("no command given", general_usage());
  const std::string_view first = argv[1];
  if (first == "--help" || first == "-h") return print(general_help());
  if (first == "--version") return print(version_text());
  const Subcommand* sub = find_subcommand(first);
  if (sub == nullptr) {
    return usage_error("unknown command '" + std::string(first) + "'", general_usage());
  }

  Invocation inv;
  inv.subcommand = sub;
  const std::string usage = subcommand_usage(*sub);
  // getopt_long sees the subcommand as its argv[0]; optind 0 starts a fresh scan each call.
  char** args = argv + 1;
  const int nargs = argc - 1;
  optind = 0;
  opterr = 0;
  for (;;) {
    const int opt = getopt_long(nargs, args, ":0h", kLongOptions, nullptr);
    if (opt == -1) break;
    if (opt == '?') {
      // A known long option given a value it does not take ("--wide=3") comes back with its own
      // code; an unknown long one with 0; an unknown short one with its letter.
      const std::string_view given = args[optind - 1];
      if (optopt != 0 && given.starts_with("--")) {
        return usage_error("option '" + name_of(optopt) + "' takes no value", usage);
      }
      const std::string what =
          optopt != 0 ? std::string("-") + static_cast<char>(optopt) : std::string(given);
      return usage_error("unknown option '" + what + "'", usage);
    }
    if (opt == ':') {
      return usage_error("option '" + name_of(optopt) + "' needs a value", usage);
    }
    if (opt == 'h') return print(subcommand_help(*sub));
    if (opt == kVersion) return print(version_text());
    const unsigned bit = bit_of(opt);
    if ((sub->options & bit) == 0) {
      return usage_error(std::string(sub->name) + " takes no option '" + name_of(opt) + "'", usage);
    }
    switch (opt) {
      case kUnder:
        inv.options.under.emplace_back(optarg);
        break;
      case kExclude:
        inv.options.exclude.emplace_back(optarg);
        break;
      case kNoSystem:
        inv.options.no_system = true;
        break;
      case '0':
        inv.options.nul = true;
        break;
      case kTarget:
        inv.options.targets.emplace_back(optarg);
        break;
      case kFiles:
        inv.options.files = true;
        break;
      case kWide:
        inv.options.wide = true;
        break;
      case kAll:
        inv.options.all = true;
        break;
      default:
        break;
    }
  }
  for (int i = optind; i < nargs; ++i) inv.operands.emplace_back(args[i]);
  if (inv.operands.size() != sub->reports) {
    const char* problem =
        inv.operands.size() < sub->reports ? "missing report" : "too many operands";
    return usage_error(std::string(sub->name) + ": " + problem, usage);
  }
  size_t stdin_uses = 0;
  for (const auto& o : inv.operands) stdin_uses += o == "-";
  if (stdin_uses > 1) return usage_error("standard input can be read only once", usage);
  if ((sub->options & kTargetOption) != 0 && inv.options.targets.empty()) {
    return usage_error(std::string(sub->name) + " needs at least one --target", usage);
  }
  for (const auto* dirs : {&inv.options.under, &inv.options.exclude}) {
    for (const auto& d : *dirs)
      if (d.empty()) return usage_error("an empty directory name", usage);
  }
  ParseOutcome o;
  o.invocation = std::move(inv);
  return o;
}

}  // namespace drel::report
