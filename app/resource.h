// Resource and control identifiers. Control identifiers are per dialog: the same
// number names different controls on the two pages (1004, 1012, 1016, 1018).
#pragma once

#define IDI_APP_ICON 102
#define IDD_INDICATIONS_32 103
#define IDD_CONFIG_PAGE 104
#define IDD_COMMS_PAGE 105
#define IDD_INDICATIONS_64 106

// "ZVL comms" page (105)
#define IDC_CONTROLS_TEXT 1004
#define IDC_PORT_COMBO 1012
#define IDC_LOG_BOX 1016
#define IDC_SET_INDICATIONS 1018
#define IDC_RESPOND 1019
#define IDC_INDICATIONS_TEXT 1022
#define IDC_WIDE_INDICATIONS 1093
#define IDC_LOG_TO_FILE 1094

// "K4 Config" page (104)
#define IDC_IO_USED 1000
#define IDC_ZVL_USED 1001
#define IDC_ADCS_USED 1002
#define IDC_PROTOCOL_32 1003
#define IDC_SPLIT_ZVL 1004
#define IDC_WRITE 1005
#define IDC_READ 1006
#define IDC_PREAMBLE 1007
#define IDC_POSTAMBLE 1008
#define IDC_USE_AVAIL 1009
#define IDC_DEFAULT 1010
#define IDC_STATUS 1011
#define IDC_NO_BUFFER 1012
#define IDC_TX_ON 1013
#define IDC_DAUGHTER_BOARD 1014
#define IDC_TX_OFF 1015
#define IDC_SAVE 1016
#define IDC_RX_EQUALISATION 1017
#define IDC_OPEN 1018
#define IDC_BAUD 1025
#define IDC_V22_HIGH 1027
#define IDC_NO_CTRL_BYTE 1031
#define IDC_NRZ 1033
#define IDC_IO_ID 1035
#define IDC_ADCS_ID 1037
#define IDC_ZVL_ID 1039
#define IDC_PROTOCOL_64 1092
#define IDC_ZVL_ID_PLUS_ONE 1095

// Set indications dialogs (103, 106): "Done" is IDCANCEL (2); the boxes' IDs are in
// indicationBoxIds.

// Timers of the "ZVL comms" page window.
// Opens COM1 shortly after start.
#define IDT_AUTO_OPEN 1001
// Frame delivery's slow sweep and its wake-up deferred while input waits
// (app/frame_delivery.cpp).
#define IDT_FRAME_SWEEP 1002
#define IDT_DEFERRED_FRAMES 1003
// The tries to open a lost port again.
#define IDT_REOPEN 1004
