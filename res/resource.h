// Resource identifiers, shared by vantoly.rc and the Windows program.
#pragma once

#define IDD_ABOUTBOX 100
#define IDS_ABOUTBOX 101
#define IDD_MAIN 102
#define IDR_MAINFRAME 128
#define IDC_CONVERT 1000
#define IDC_MODE 1001
#define IDC_HOMEPAGE 1002

// The About item in the system menu; system-menu commands keep the low four bits clear.
#define IDM_ABOUTBOX 0x0010

#ifndef IDC_STATIC
#define IDC_STATIC (-1)
#endif
