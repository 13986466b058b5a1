// vantoly-convert: the Convert command with a BMP file for a clipboard.
//
//   vantoly-convert MODE INPUT OUTPUT
//
// Exit 0 silently on success; on failure the command's message goes to standard error and the
// exit code is 1; wrong usage prints the usage and exits 2.
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>

#include "app/conversion_mode.h"
#include "app/convert_command.h"
#include "clipboard/clipboard_file.h"

namespace {

constexpr int ExitConverted = 0;
constexpr int ExitFailed = 1;
constexpr int ExitUsage = 2;

// Messages go to standard error; there is no beep or cursor on a terminal.
class CTerminalFeedback : public CConvertFeedback {
public:
  void ShowMessage(const char *text) override {
    std::fprintf(stderr, "vantoly-convert: %s\n", text);
  }
  void Beep() override {}
  void BeginWaitCursor() override {}
  void EndWaitCursor() override {}
};

void PrintUsage(std::FILE *out) {
  std::fputs("usage: vantoly-convert MODE INPUT OUTPUT\n"
             "Converts the BMP file INPUT with MODE (0-7) and writes the result to the BMP file\n"
             "OUTPUT, which may be INPUT itself. '-' reads standard input or writes standard\n"
             "output. OUTPUT is replaced only when the conversion has succeeded.\n",
             out);
}

void PrintHelp() {
  PrintUsage(stdout);
  std::puts("\nModes:");
  for (int mode = 0; mode < ConversionModeCount; ++mode)
    std::printf("  %d  %s\n", mode, ConversionModes[mode].text);
}

// MODE as the list's selection: a single digit 0-7, or -1 (nothing selected) for anything else.
int ParseMode(const char *text) {
  if (std::strlen(text) == 1 && text[0] >= '0' && text[0] < '0' + ConversionModeCount)
    return text[0] - '0';
  return -1;
}

} // namespace

int main(int argc, char **argv) {
  if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
    PrintHelp();
    return ExitConverted;
  }
  if (argc != 4) {
    PrintUsage(stderr);
    return ExitUsage;
  }
  // A closed pipe or a file-size limit must end in our message, not in a signal.
  std::signal(SIGPIPE, SIG_IGN);
  std::signal(SIGXFSZ, SIG_IGN);

  CFileClipboard clipboard(argv[2], argv[3]);
  CTerminalFeedback feedback;
  const ConvertOutcome outcome = RunConvertCommand(ParseMode(argv[1]), clipboard, feedback);
  return outcome == ConvertOutcome::Converted ? ExitConverted : ExitFailed;
}
