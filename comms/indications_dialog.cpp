#include "comms/indications_dialog.h"

#include "comms/comms_page.h"

// The IDs skip 1022, 1025, 1027, 1031, 1033, 1035, 1037 and 1039; from indication 17
// on, indication n is 1027 + n.
const int indicationBoxIds[64] = {
    1020, 1021, 1023, 1024, 1026, 1028, 1029, 1030,  // 1-8
    1032, 1034, 1036, 1038, 1040, 1041, 1042, 1043,  // 9-16
    1044, 1045, 1046, 1047, 1048, 1049, 1050, 1051, 1052, 1053, 1054, 1055, 1056, 1057,
    1058, 1059, 1060, 1061, 1062, 1063, 1064, 1065, 1066, 1067, 1068, 1069, 1070, 1071,
    1072, 1073, 1074, 1075, 1076, 1077, 1078, 1079, 1080, 1081, 1082, 1083, 1084, 1085,
    1086, 1087, 1088, 1089, 1090, 1091,
};

CommsPage* indicationsTarget = nullptr;

namespace {
// The indication whose box has this ID, or 0.
int IndicationOfBox(int id) {
  for (int n = 1; n <= 64; ++n) {
    if (indicationBoxIds[n - 1] == id) return n;
  }
  return 0;
}

// Indications shown by the open dialog: 1 to 32, or 1 to 64 when wide.
int ShownIndications() { return indicationsTarget->wideIndications ? 64 : 32; }

void OnInitDialog(HWND dialog) {
  for (int n = 1; n <= ShownIndications(); ++n) {
    CheckDlgButton(dialog, indicationBoxIds[n - 1],
                   indicationsTarget->Indication(n) ? BST_CHECKED : BST_UNCHECKED);
  }
}

void OnCommand(HWND dialog, int id, int code) {
  if (id == IDOK) {
    // Bytes the dialog shows are rebuilt whole from the boxes, so values received
    // while it was open are overwritten; bytes it does not show are left alone.
    for (int n = 1; n <= ShownIndications(); ++n) {
      indicationsTarget->SetIndication(
          n, IsDlgButtonChecked(dialog, indicationBoxIds[n - 1]) == BST_CHECKED);
    }
    EndDialog(dialog, 1);
    return;
  }
  if (id == IDCANCEL) {
    EndDialog(dialog, 2);
    return;
  }
  const int n = IndicationOfBox(id);
  if (n == 0 || code != BN_CLICKED) return;
  indicationsTarget->SetIndication(n, IsDlgButtonChecked(dialog, id) == BST_CHECKED);
  indicationsTarget->ShowBits(BitSet::kIndications);
  indicationsTarget->SendIndications();
}
}  // namespace

INT_PTR CALLBACK IndicationsDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_INITDIALOG:
      indicationsTarget = reinterpret_cast<CommsPage*>(lParam);
      if (indicationsTarget) OnInitDialog(dialog);
      return TRUE;
    case WM_COMMAND:
      if (indicationsTarget) OnCommand(dialog, LOWORD(wParam), HIWORD(wParam));
      return TRUE;
    default:
      return FALSE;
  }
}
