#pragma once

// A small command-line reader for the tools: options as "--name VALUE" or
// "--name=VALUE", flags as "--name", everything else positional.
//
//   cli::Arguments args(argc, argv);
//   while (args.next()) {
//     if (args.is("--rate")) rate = cli::toNumber(args.value(), args.name(), 0, 1e6);
//     else if (args.is("--quiet")) quiet = args.flag();
//     else if (!args.isOption()) address = args.current();
//     else throw cli::UsageError("unknown option " + std::string(args.name()));
//   }

#include <cstdint>
#include <iostream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <variant>

namespace cli {

/// A wrong command line; its text says what is wrong.
struct UsageError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

class Arguments {
 public:
  Arguments(int argc, char** argv) : argc_(argc), argv_(argv) {}

  /// Moves to the next argument; false when there is none.
  bool next();
  /// The current argument as given.
  std::string_view current() const { return current_; }
  /// True for an argument that starts with "--" ("-" alone is positional).
  bool isOption() const;
  /// The option's name without an "=VALUE" part.
  std::string_view name() const;
  bool is(std::string_view option) const { return isOption() && name() == option; }
  /// The option's value: behind "=", or else the next argument.
  std::string value();
  /// For an option without a value; always true. Throws for "--flag=VALUE".
  bool flag() const;

 private:
  int argc_;
  char** argv_;
  int index_ = 0;
  std::string_view current_;
};

/// Prints "PROGRAM: TEXT" and a pointer to --help on standard error and
/// returns 2, the tools' exit status for a wrong command line.
int usageFailure(std::string_view program, std::string_view text);

/// The tools' start: `parse(argc, argv)` reads the options (Options has a
/// `help` flag). Returns the options to run with, or the exit status to end
/// with at once: 0 after printing `usage` for --help, 2 after a usage
/// failure for a wrong command line.
template <typename Options, typename Parse>
std::variant<Options, int> readCommandLine(std::string_view program, std::string_view usage, int argc,
                                           char** argv, Parse parse) {
  Options options;
  try {
    options = parse(argc, argv);
  } catch (const UsageError& e) {
    return usageFailure(program, e.what());
  }
  if (options.help) {
    std::cout << usage;
    return 0;
  }
  return options;
}

/// A whole number from decimal or 0x-prefixed hexadecimal text, within
/// [min, max]. Throws UsageError naming `option`.
std::uint64_t toUnsigned(std::string_view text, std::string_view option, std::uint64_t min,
                         std::uint64_t max);
/// A decimal number (fractions allowed) within [min, max].
double toNumber(std::string_view text, std::string_view option, double min, double max);

}  // namespace cli
