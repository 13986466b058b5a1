// vantoly-convert: the Convert command with a BMP or PNG file for a clipboard.
//
//   vantoly-convert [--format=png|bmp] MODE INPUT OUTPUT
//
// Exit 0 silently on success; on failure standard error gets the file at fault and why, as
// command-line tools say it, then the command's own message, and the exit code is 1; wrong
// usage prints the usage and exits 2.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "app/core/conversion_mode.h"
#include "app/core/convert_command.h"
#include "app/version.h"
#include "clipboard/file/clipboard_file.h"
#include "posix/file_io.h"

namespace {

constexpr int ExitConverted = 0;
constexpr int ExitFailed = 1;
constexpr int ExitUsage = 2;

// Messages go to standard error; there is no beep or cursor on a terminal.
class CTerminalFeedback : public CConvertFeedback {
public:
  explicit CTerminalFeedback(const CFileClipboard &clipboard) : m_clipboard(clipboard) {}
  // "vantoly-convert: in.png: No such file or directory (クリップボードから…)": the file and
  // why where a file is at fault, and the command's message after it in parentheses.
  void ShowMessage(const char *text) override {
    const std::string failure = m_clipboard.DescribeFailure();
    if (failure.empty())
      std::fprintf(stderr, "vantoly-convert: %s\n", text);
    else
      std::fprintf(stderr, "vantoly-convert: %s (%s)\n", failure.c_str(), text);
  }
  void Beep() override {}
  void BeginWaitCursor() override {}
  void EndWaitCursor() override {}

private:
  const CFileClipboard &m_clipboard;
};

void PrintUsage(std::FILE *out) {
  std::fputs("usage: vantoly-convert [--format=png|bmp] MODE INPUT OUTPUT\n"
             "Converts the BMP or PNG file INPUT with MODE (0-7) and writes the result to OUTPUT,\n"
             "which may be INPUT itself: a PNG file when its name ends in .png, else a BMP file;\n"
             "--format sets the format where the name cannot. '-' reads standard input or writes\n"
             "standard output. OUTPUT is replaced only when the conversion has succeeded.\n",
             out);
}

void PrintHelp(std::FILE *out) {
  PrintUsage(out);
  std::fputs("\nModes:\n", out);
  for (int mode = 0; mode < ConversionModeCount; ++mode)
    std::fprintf(out, "  %d  %s\n", mode, ConversionModes[mode].text);
  std::fputs("\nThe picture on the X11 clipboard, converted in place:\n"
             "  xclip -selection clipboard -t image/png -o | vantoly-convert 6 - --format=png - |"
             " xclip -selection clipboard -t image/png -i\n"
             "\nOptions: --format=png|bmp, --help, --version. See vantoly-convert(1).\n",
             out);
}

// Standard output, where the help and the version go, fails like any other file (a full disk,
// a closed pipe): that is a failure, not a success with nothing shown.
int FinishStandardOutput() {
  if (std::fflush(stdout) == 0 && std::ferror(stdout) == 0)
    return ExitConverted;
  const int error = errno;
  std::fprintf(stderr, "vantoly-convert: standard output: %s\n", std::strerror(error));
  return ExitFailed;
}

// MODE as the list's selection: a single digit 0-7, or -1 (nothing selected) for anything else.
int ParseMode(const char *text) {
  if (std::strlen(text) == 1 && text[0] >= '0' && text[0] < '0' + ConversionModeCount)
    return text[0] - '0';
  return -1;
}

} // namespace

int main(int argc, char **argv) {
  // Options may stand anywhere among the operands; "--" ends them. "-" and "-1" are operands.
  std::vector<const char *> operands;
  std::optional<FileFormat> format;
  bool help = false;
  bool version = false;
  bool optionsEnded = false;
  for (int i = 1; i < argc; ++i) {
    const char *arg = argv[i];
    if (optionsEnded || std::strncmp(arg, "--", 2) != 0) {
      if (!optionsEnded && std::strcmp(arg, "-h") == 0)
        help = true;
      else
        operands.push_back(arg);
    } else if (std::strcmp(arg, "--") == 0) {
      optionsEnded = true;
    } else if (std::strcmp(arg, "--help") == 0) {
      help = true;
    } else if (std::strcmp(arg, "--version") == 0) {
      version = true;
    } else if (std::strcmp(arg, "--format=png") == 0) {
      format = FileFormat::Png;
    } else if (std::strcmp(arg, "--format=bmp") == 0) {
      format = FileFormat::Bmp;
    } else {
      // Named as getopt names it, so that a misspelt option is seen at once.
      if (std::strcmp(arg, "--format") == 0)
        std::fputs("vantoly-convert: option '--format' requires an argument\n", stderr);
      else if (std::strncmp(arg, "--format=", 9) == 0)
        std::fprintf(stderr, "vantoly-convert: invalid argument '%s' for '--format'\n", arg + 9);
      else
        std::fprintf(stderr, "vantoly-convert: unrecognized option '%s'\n", arg);
      PrintUsage(stderr);
      return ExitUsage;
    }
  }
  // A closed pipe or a file-size limit must end in our message, not in a signal.
  std::signal(SIGPIPE, SIG_IGN);
  std::signal(SIGXFSZ, SIG_IGN);
  if (help) {
    PrintHelp(stdout);
    return FinishStandardOutput();
  }
  if (version) {
    std::puts("vantoly-convert " VANTOLY_VERSION);
    return FinishStandardOutput();
  }
  if (operands.size() != 3) {
    PrintUsage(stderr);
    return ExitUsage;
  }

  // Interrupted, the run takes its temporary file with it.
  RemoveTemporaryOnTermination();
  CFileClipboard clipboard(operands[1], operands[2], format);
  CTerminalFeedback feedback(clipboard);
  const ConvertOutcome outcome = RunConvertCommand(ParseMode(operands[0]), clipboard, feedback);
  return outcome == ConvertOutcome::Converted ? ExitConverted : ExitFailed;
}
