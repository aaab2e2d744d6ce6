// Identifiers of Brenmark's resources and of the download dialog's controls, for the resource
// script and the Win32 view (which checks them against the dialog logic's own identifiers).
#ifndef BRENMARK_WIN32_RESOURCE_H
#define BRENMARK_WIN32_RESOURCE_H

#define IDD_ABOUTBOX 100
#define IDD_DOWNLOAD 135

#define IDI_ABOUT 128
#define IDI_PROGRAM 134

#define IDB_ORB 144
#define IDB_TAL 146
#define IDB_QUIN 151
/* The download animation's frames, side by side in one bitmap. */
#define IDB_ANIMATION 149

#define IDC_APPLICATION_FILE 1001
#define IDC_PROGRESS_BAR 1002
#define IDC_DRIVER_FILE 1003
#define IDC_PROGRESS_TEXT 1005
#define IDC_START 1021
#define IDC_QUIT 1022
#define IDC_APPLICATION_BROWSE 1023
#define IDC_TERMINAL_LIST 1024
#define IDC_PORT_LIST 1025
#define IDC_PICTURE 1026
#define IDC_DRIVER_BROWSE 1027
#define IDC_DRIVER_LABEL 1028
#define IDC_ANIMATION 1033

/* The About entry of the dialog's context menu. */
#define IDM_ABOUT 0x0010

/* The window class of the control that paints the download animation, and the number of frames
   that brenmark-artwork draws side by side in IDB_ANIMATION. */
#define BRENMARK_ANIMATION_CLASS "BrenmarkAnimation"
#define BRENMARK_ANIMATION_FRAMES 12

#endif
