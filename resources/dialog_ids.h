#pragma once
// Identifiers of the dialog templates, their controls and the icon, shared by the resource script
// and the Win32 dialogs.

#define IDI_LAUNCHER 128

// The language question before a setup starts.
#define IDD_LANGUAGE_SELECTION 110
#define IDC_LANGUAGE_CHOICE 1000

// The progress window of downloads and extraction.
#define IDD_EXTRACTION_PROGRESS 130
#define IDC_PROGRESS_BAR 1001

// The version, language, destination and download-only question of every launch.
#define IDD_VERSION_SELECTION 131
#define IDC_VERSION_LIST 1000
#define IDC_LANGUAGE_LIST 1001
#define IDC_DOWNLOAD_ONLY 1002
#define IDC_DESTINATION 1003
#define IDC_BROWSE 1004
#define IDC_LANGUAGE_LABEL 1005
