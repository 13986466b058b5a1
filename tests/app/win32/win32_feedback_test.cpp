// The Windows feedback: the wait cursor's pairing, and the texts handed to the W functions.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/core/conversion_mode.h"
#include "app/core/texts.h"
#include "app/win32/wide_text.h"
#include "app/win32/win32_feedback.h"

namespace {

HCURSOR Arrow() { return LoadCursorW(nullptr, IDC_ARROW); }
HCURSOR Wait() { return LoadCursorW(nullptr, IDC_WAIT); }

TEST(Win32Feedback, WaitCursorNestsAndRestoresTheCursorItReplaced) {
  SetCursor(Arrow());
  CWin32Feedback feedback(nullptr);
  feedback.BeginWaitCursor();
  EXPECT_EQ(GetCursor(), Wait());
  feedback.BeginWaitCursor();
  feedback.EndWaitCursor();
  EXPECT_EQ(GetCursor(), Wait()) << "the inner end took the outer wait cursor away";
  feedback.EndWaitCursor();
  EXPECT_EQ(GetCursor(), Arrow());
  feedback.EndWaitCursor(); // one end too many changes nothing
  EXPECT_EQ(GetCursor(), Arrow());
}

TEST(Win32Feedback, AWaitCursorLeftOnEndsWithTheFeedback) {
  SetCursor(Arrow());
  {
    CWin32Feedback feedback(nullptr);
    feedback.BeginWaitCursor();
    feedback.BeginWaitCursor();
  }
  EXPECT_EQ(GetCursor(), Arrow());
}

TEST(WideText, CarriesTheJapaneseTextsIntact) {
  EXPECT_EQ(std::wstring(CWideText(MessageNoClipboardBitmap)),
            L"\u30af\u30ea\u30c3\u30d7\u30dc\u30fc\u30c9\u304b\u3089\u30d3\u30c3\u30c8\u30de"
            L"\u30c3\u30d7\u3092\u53d6\u5f97\u3067\u304d\u307e\u305b\u3093");
  EXPECT_EQ(std::wstring(CWideText(AboutCaption)),
            L"\uff8a\uff9e\uff70\uff7c\uff9e\uff6e\uff9d\u60c5\u5831 Vantoly");
  EXPECT_EQ(std::wstring(CWideText(nullptr)), L"");
  EXPECT_EQ(std::wstring(CWideText(std::string(600, 'x').c_str())), L"") << "overlong text";
}

// The texts must survive the Japanese ANSI code page, which the program's users may still have
// programs for (a text pasted into one of them, a resource compiled as code page 932).
TEST(WideText, EveryTextFitsCodePage932) {
  std::vector<const char *> texts = {AppTitle,
                                     ConvertButtonText,
                                     ModeLabelText,
                                     ExitButtonText,
                                     AboutMenuText,
                                     AboutCaption,
                                     AboutTitleText,
                                     AboutVersionText,
                                     AboutNoticeText,
                                     HomePageButtonText,
                                     OkButtonText,
                                     DialogFontFace,
                                     MessageNoModeSelected,
                                     MessageNoClipboardBitmap,
                                     MessageConversionFailed,
                                     MessageCannotPaste,
                                     MessageOutOfMemory};
  for (const ConversionModeEntry &mode : ConversionModes)
    texts.push_back(mode.text);
  for (const char *text : texts) {
    const CWideText wide(text);
    ASSERT_NE(wide.Get()[0], L'\0') << text;
    char narrow[1024];
    BOOL lossy = FALSE;
    const int length = WideCharToMultiByte(932, WC_NO_BEST_FIT_CHARS, wide, -1, narrow,
                                           sizeof narrow, nullptr, &lossy);
    EXPECT_GT(length, 0) << text;
    EXPECT_FALSE(lossy) << text << " has characters outside code page 932";
  }
}

TEST(WideText, TheCaptionIsTheExecutablesNameWithoutExtension) {
  EXPECT_EQ(std::wstring(ExecutableTitle()), L"vantoly_win32_tests");
}

} // namespace
