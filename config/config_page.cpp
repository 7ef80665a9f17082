// The "K4 Config" page's window side: reads and writes its controls and hands the
// values to ConfigForm, which holds the record and the rules.
//
// Threads: everything here runs on the user-interface thread, OnFrame included (the
// frames are handed over from the reader thread with the tick count of their
// receipt), so the record and the pending flags have a single owner.
#include "config/config_page.h"

#include <commdlg.h>

#include <string>

#include "app/resource.h"
#include "app/shell.h"
#include "config/config_file.h"
#include "config/config_form.h"

namespace {
void ShowError(HWND owner, const char* text) {
  MessageBoxA(owner, text, kMessageCaption, MB_ICONERROR);
}

void SetStatus(HWND page, const char* text) { SetDlgItemTextA(page, IDC_STATUS, text); }

bool Checked(HWND page, int id) { return IsDlgButtonChecked(page, id) == BST_CHECKED; }

void SetCheck(HWND page, int id, bool on) {
  CheckDlgButton(page, id, on ? BST_CHECKED : BST_UNCHECKED);
}

void Enable(HWND page, int id, bool on) { EnableWindow(GetDlgItem(page, id), on ? TRUE : FALSE); }

std::string Text(HWND page, int id) {
  const HWND control = GetDlgItem(page, id);
  const int length = GetWindowTextLengthA(control);
  std::string text(static_cast<size_t>(length) + 1, '\0');
  const int got = GetWindowTextA(control, &text[0], length + 1);
  text.resize(got > 0 ? static_cast<size_t>(got) : 0);
  return text;
}

int BaudSelection(HWND page) {
  const LRESULT selected = SendDlgItemMessageA(page, IDC_BAUD, CB_GETCURSEL, 0, 0);
  return selected == CB_ERR ? kNoBaudEntry : static_cast<int>(selected);
}

// The option boxes, in the order they are set.
const struct {
  int id;
  bool ConfigControls::*checked;
} kOptionBoxes[] = {
    {IDC_RX_EQUALISATION, &ConfigControls::rxEqualisation},
    {IDC_V22_HIGH, &ConfigControls::v22TxHighRxLow},
    {IDC_NO_CTRL_BYTE, &ConfigControls::noCtrlByte},
    {IDC_NRZ, &ConfigControls::nrz},
    {IDC_USE_AVAIL, &ConfigControls::useAvail},
    {IDC_NO_BUFFER, &ConfigControls::dontBufferControls},
};

void Apply(HWND page, const ConfigControls& c) {
  // Checking a radio button clears every button whose ID lies between the two, most
  // of the check boxes among them, so it comes before they are set.
  CheckRadioButton(page, IDC_PROTOCOL_32, IDC_PROTOCOL_64,
                   c.protocol32 ? IDC_PROTOCOL_32 : IDC_PROTOCOL_64);
  for (const auto& box : kOptionBoxes) SetCheck(page, box.id, c.*box.checked);

  SetDlgItemTextA(page, IDC_IO_ID, c.ioId.c_str());
  Enable(page, IDC_IO_ID, c.ioIdEnabled);
  SetCheck(page, IDC_IO_USED, c.ioUsed);
  SetDlgItemTextA(page, IDC_ADCS_ID, c.adcsId.c_str());
  Enable(page, IDC_ADCS_ID, c.adcsIdEnabled);
  SetCheck(page, IDC_ADCS_USED, c.adcsUsed);

  SetDlgItemTextA(page, IDC_ZVL_ID, c.zvlId.c_str());
  Enable(page, IDC_ZVL_ID, c.zvlIdEnabled);
  Enable(page, IDC_SPLIT_ZVL, c.splitZvlEnabled);
  Enable(page, IDC_ZVL_ID_PLUS_ONE, c.zvlIdPlusOneEnabled);
  SetCheck(page, IDC_ZVL_USED, c.zvlUsed);
  SetCheck(page, IDC_SPLIT_ZVL, c.splitZvl);
  SetDlgItemTextA(page, IDC_ZVL_ID_PLUS_ONE, c.zvlIdPlusOne.c_str());

  if (c.baudEntry != kNoBaudEntry) {
    SendDlgItemMessageA(page, IDC_BAUD, CB_SETCURSEL, static_cast<WPARAM>(c.baudEntry), 0);
  }
  SetDlgItemTextA(page, IDC_PREAMBLE, c.preambleMs.c_str());
  SetDlgItemTextA(page, IDC_POSTAMBLE, c.postambleMs.c_str());
}

ConfigControls Collect(HWND page) {
  ConfigControls c;
  c.protocol32 = Checked(page, IDC_PROTOCOL_32);
  for (const auto& box : kOptionBoxes) c.*box.checked = Checked(page, box.id);
  c.ioUsed = Checked(page, IDC_IO_USED);
  c.zvlUsed = Checked(page, IDC_ZVL_USED);
  c.adcsUsed = Checked(page, IDC_ADCS_USED);
  c.splitZvl = Checked(page, IDC_SPLIT_ZVL);
  c.ioId = Text(page, IDC_IO_ID);
  c.zvlId = Text(page, IDC_ZVL_ID);
  c.adcsId = Text(page, IDC_ADCS_ID);
  c.preambleMs = Text(page, IDC_PREAMBLE);
  c.postambleMs = Text(page, IDC_POSTAMBLE);
  c.baudEntry = BaudSelection(page);
  return c;
}

enum class FileMode { kOpen, kSave };

// The chosen path, or an empty string when the user cancels.
std::string AskFileName(HWND page, FileMode mode) {
  char path[MAX_PATH] = "";
  OPENFILENAMEA dialog{};
  dialog.lStructSize = sizeof dialog;
  dialog.hwndOwner = page;
  dialog.lpstrFilter = "Config Files (*.vtl)\0*.VTL\0All Files (*.*)\0*.*\0";
  dialog.nFilterIndex = 1;
  dialog.lpstrFile = path;
  dialog.nMaxFile = sizeof path;
  dialog.lpstrDefExt = "vtl";
  if (mode == FileMode::kOpen) {
    dialog.lpstrTitle = "Open config file";
    dialog.Flags = OFN_FILEMUSTEXIST | OFN_HIDEREADONLY;
    if (!GetOpenFileNameA(&dialog)) return std::string();
  } else {
    dialog.lpstrTitle = "Save config file";
    dialog.Flags = OFN_OVERWRITEPROMPT | OFN_PATHMUSTEXIST | OFN_CREATEPROMPT |
                   OFN_NOREADONLYRETURN;
    if (!GetSaveFileNameA(&dialog)) return std::string();
  }
  return path;
}

bool Send(const uint8_t* payload, size_t length) {
  return serialLink.SendFrame(payload, static_cast<uint32_t>(length));
}
}  // namespace

void ConfigPage::ShowConfig() {
  Apply(pageWindow, ::ShowConfig(form.config, BaudSelection(pageWindow)));
}

void ConfigPage::ReadControls() {
  form.config = ::ReadControls(Collect(pageWindow));
  ShowConfig();
}

void ConfigPage::ShowOutcome(const SendOutcome& outcome) {
  if (outcome.status != nullptr) SetStatus(pageWindow, outcome.status);
  if (outcome.failure != nullptr) ShowError(sheetWindow, outcome.failure);
}

void ConfigPage::Write() {
  SetStatus(pageWindow, kStatusCleared);
  ReadControls();
  const ConfigPacket packet = BuildConfigPacket(form.config);
  const bool sent = Send(packet.data(), packet.size());
  // Marked before any box opens: a box's message loop hands on received frames, and
  // the unit's answer must find the write pending, not be lost and leave the mark
  // for the next, unrelated ACK.
  form.WriteRequested(GetTickCount());
  const SendOutcome outcome = AfterSend(ConfigRequest::kWrite, sent, GetKeyState(VK_CONTROL) < 0);
  ShowOutcome(outcome);
  if (outcome.debugBox) {
    MessageBoxA(pageWindow, DebugBoxText(packet).c_str(), kDebugBoxCaption, MB_OK);
  }
}

void ConfigPage::Read() {
  const bool sent = Send(RequestPayload(ConfigRequest::kRead), kRequestLength);
  form.ReadRequested(GetTickCount());  // before a box can hand on the answer
  ShowOutcome(AfterSend(ConfigRequest::kRead, sent, false));
}

void ConfigPage::Tx(ConfigRequest request) {
  const bool sent = Send(RequestPayload(request), kRequestLength);
  if (sent) form.TxRequested(request, GetTickCount());  // before the status, as Read does
  ShowOutcome(AfterSend(request, sent, false));
}

void ConfigPage::Save() {
  const std::string path = AskFileName(pageWindow, FileMode::kSave);
  if (path.empty()) return;
  ReadControls();
  const ConfigFileError error = SaveConfigFile(path.c_str(), form.config);
  if (error != ConfigFileError::kNone) ShowError(pageWindow, ConfigFileMessage(error));
}

void ConfigPage::Open() {
  const std::string path = AskFileName(pageWindow, FileMode::kOpen);
  if (path.empty()) return;
  UnitConfig loaded = form.config;
  const ConfigFileError error = LoadConfigFile(path.c_str(), &loaded);
  if (error != ConfigFileError::kNone) {
    ShowError(nullptr, ConfigFileMessage(error));
    return;
  }
  form.config = loaded;
  ShowConfig();
}

BOOL ConfigPage::OnInitDialog(HWND page) {
  for (const char* entry : kBaudEntries) {
    SendDlgItemMessageA(page, IDC_BAUD, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(entry));
  }
  // Queued, so the defaults are shown once the page's creation is over.
  PostMessageA(page, WM_COMMAND, MAKEWPARAM(IDC_DEFAULT, 0), 0);
  pageWindow = page;
  return TRUE;
}

void ConfigPage::OnCommand(HWND page, WPARAM wParam, LPARAM) {
  const int id = LOWORD(wParam);
  const int code = HIWORD(wParam);
  switch (id) {
    case IDC_IO_USED:
      if (code == BN_CLICKED) Enable(page, IDC_IO_ID, Checked(page, IDC_IO_USED));
      break;
    case IDC_ADCS_USED:
      if (code == BN_CLICKED) Enable(page, IDC_ADCS_ID, Checked(page, IDC_ADCS_USED));
      break;
    case IDC_ZVL_USED:
      if (code == BN_CLICKED) {
        const ZvlEnabling live =
            ZvlControlsEnabled(Checked(page, IDC_ZVL_USED), Checked(page, IDC_SPLIT_ZVL));
        Enable(page, IDC_ZVL_ID, live.id);
        Enable(page, IDC_SPLIT_ZVL, live.split);
        Enable(page, IDC_ZVL_ID_PLUS_ONE, live.plusOne);
      }
      break;
    case IDC_SPLIT_ZVL:
      // "Split ZVL" is live only while "ZVL" is checked, and a disabled box takes no
      // mouse or keyboard input (EnableWindow's documentation): its click counts "ZVL"
      // as checked, so the box beside the ID follows "Split ZVL" alone, as it always has.
      if (code == BN_CLICKED) {
        Enable(page, IDC_ZVL_ID_PLUS_ONE,
               ZvlControlsEnabled(true, Checked(page, IDC_SPLIT_ZVL)).plusOne);
      }
      break;
    case IDC_ZVL_ID:
      if (code == EN_CHANGE) {
        SetDlgItemTextA(page, IDC_ZVL_ID_PLUS_ONE, ZvlIdPlusOneText(Text(page, IDC_ZVL_ID)).c_str());
      }
      break;
    case IDC_WRITE: Write(); break;
    case IDC_READ: Read(); break;
    case IDC_DEFAULT:
      form.config = DefaultConfig();
      ShowConfig();
      SetStatus(page, kDefaultsStatus);
      break;
    case IDC_TX_ON: Tx(ConfigRequest::kTxOn); break;
    case IDC_TX_OFF: Tx(ConfigRequest::kTxOff); break;
    case IDC_SAVE: Save(); break;
    case IDC_OPEN: Open(); break;
    default: break;
  }
}

void ConfigPage::OnFrame(const uint8_t* frame, uint8_t length, uint32_t receivedTick) {
  const ConfigForm::FrameOutcome outcome = form.OnFrame(frame, length, receivedTick);
  // Before the page is first shown only the record changes.
  if (pageWindow == nullptr) return;
  for (const std::string& status : outcome.statuses) SetStatus(pageWindow, status.c_str());
  if (outcome.showDaughterBoard) {
    SetDlgItemTextA(pageWindow, IDC_DAUGHTER_BOARD, outcome.daughterBoard.c_str());
  }
  if (outcome.showConfig) ShowConfig();
}
