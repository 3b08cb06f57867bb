// Resource identifiers of Launcher.exe.
#define IDI_LAUNCHER 128
#define IDD_UPDATE 133
#define IDC_UPDATE_STATUS 1001
#define IDC_UPDATE_PROGRESS 1009
// The operator's release public key (RCDATA, 64 bytes), in Launchers built with one.
#define IDR_RELEASE_KEY 150
