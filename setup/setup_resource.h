// Resource and control identifiers of Setup.exe (shared by the code and setup.rc).
#pragma once

#define IDD_SETUP_MAIN 129
#define IDD_SETUP_LICENSE 139
#define IDI_SETUP_HEADER 145
#define IDI_SETUP_UNUSED 130

#define IDR_FILE_LICENSE 137
#define IDR_FILE_LAUNCHER 143
#define IDR_FILE_DEFAULT_SETTINGS 146

// Main dialog
#define IDC_MAIN_INSTALL 1
#define IDC_MAIN_INFO 1015
#define IDC_MAIN_FOLDER 1001
#define IDC_MAIN_BROWSE 1002
#define IDC_MAIN_DESKTOP 1004
#define IDC_MAIN_SEPARATOR 1005
#define IDC_MAIN_ICON_PLACE 1006
#define IDC_MAIN_AGREE 1007
#define IDC_MAIN_LINK 1010

// Licence dialog
#define IDC_LICENSE_ACCEPT 1
#define IDC_LICENSE_REFUSE 1016
#define IDC_LICENSE_TEXT 1001
