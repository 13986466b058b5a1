// Every text the user sees, once, in UTF-8, for every front end. The Windows build converts
// them to UTF-16; all of them are representable in code page 932.
#pragma once

#include "app/version.h"

// Captions and controls.
inline constexpr const char *AppTitle = "Vantoly";
inline constexpr const char *ConvertButtonText = "変換(&C)";
inline constexpr const char *ModeLabelText = "モード(&M)";
inline constexpr const char *ExitButtonText = "終了(&X)";
inline constexpr const char *AboutMenuText = "ﾊﾞｰｼﾞｮﾝ情報(Vantoly) (&A)...";
inline constexpr const char *AboutCaption = "ﾊﾞｰｼﾞｮﾝ情報 Vantoly";
inline constexpr const char *AboutTitleText = "Vantoly";
inline constexpr const char *AboutVersionText = "Version " VANTOLY_VERSION;
inline constexpr const char *AboutNoticeText =
    "Copyright (C) Vantoly developers. All rights reserved.";
inline constexpr const char *HomePageButtonText = "ホームページへ";
inline constexpr const char *OkButtonText = "OK";
inline constexpr const char *HomePageUrl = "https://vantoly.example.org/";
// The dialog font, and the face that stands in for it where it is not installed.
inline constexpr const char *DialogFontFace = "ＭＳ Ｐゴシック";
inline constexpr int DialogFontPoints = 9;

// The Convert command's messages.
inline constexpr const char *MessageNoModeSelected = "変換方法が選択されていません";
inline constexpr const char *MessageNoClipboardBitmap =
    "クリップボードからビットマップを取得できません";
inline constexpr const char *MessageConversionFailed = "ビットマップの変換に失敗しました";
inline constexpr const char *MessageCannotPaste = "クリップボードに貼り付けられません";
inline constexpr const char *MessageOutOfMemory = "メモリが不足しています";
