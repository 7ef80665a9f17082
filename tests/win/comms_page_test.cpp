// The "ZVL comms" page in process: the page is made from the tool's own template 105
// inside a host window, driven with the messages a user's actions produce, and read
// back from its controls. The harness joins COM1 to COM2 and COM3 to COM4 and leaves
// COM9 absent; a second codec on COM2 plays the unit. Needs a display (Xvfb).
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <new>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "app/frame_delivery.h"
#include "app/link_wiring.h"
#include "app/resource.h"
#include "comms/comms_page.h"
#include "comms/indications_dialog.h"
#include "comms/log_text.h"
#include "link/frame_codec.h"
#include "link/frame_queue.h"

namespace {
using Bytes = std::vector<uint8_t>;


// The far end: records every frame it receives (on its reader thread).
struct UnitSink : FrameSink {
  std::mutex mutex;
  std::vector<std::string> frames;
  bool Respond() const override { return false; }
  void OnFrame(const uint8_t* frame, uint8_t length) override {
    std::lock_guard<std::mutex> hold(mutex);
    frames.emplace_back(frame, frame + length);
  }
  void LogSent(const uint8_t*, uint8_t) override {}
  void ShowOpenFailure(const char*) override {}
  std::vector<std::string> Frames() {
    std::lock_guard<std::mutex> hold(mutex);
    return frames;
  }
};

struct Shown {
  HWND owner;
  std::string text;
  std::string caption;
  UINT type;
};
std::vector<Shown> shown;
int WINAPI RecordMessage(HWND owner, LPCSTR text, LPCSTR caption, UINT type) {
  shown.push_back({owner, text, caption, type});
  return IDOK;
}
std::vector<std::string> openFailures;
int WINAPI RecordOpenFailure(HWND, LPCSTR text, LPCSTR, UINT) {
  openFailures.emplace_back(text);
  return IDOK;
}

const HWND noOwner = nullptr;
}  // namespace

// The tool's own static objects (app/main.cpp, app/sheet.cpp) around the page under
// test, which each test makes afresh in the same place (CommsPageTest::SetUp).
CommsPage commsPage;
HWND sheetWindow = nullptr;
LinkWiring linkWiring(commsPage, sheetWindow);
HINSTANCE appInstance = GetModuleHandleA(nullptr);
FrameCodec serialLink(&linkWiring);
FrameDelivery frameDelivery(linkWiring, commsPage, nullptr);

namespace {

INT_PTR CALLBACK PageProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_INITDIALOG:
      frameDelivery.Start(window);
      return commsPage.OnInitDialog(window);
    case WM_COMMAND:
      commsPage.OnCommand(window, wParam, lParam);
      return TRUE;
    case WM_TIMER:
      if (!frameDelivery.OnTimer(wParam)) commsPage.OnTimer(window, wParam);
      return TRUE;
    case WM_CTLCOLOREDIT:
    case WM_CTLCOLORSTATIC:
      return reinterpret_cast<INT_PTR>(commsPage.OnCtlColor(
          window, reinterpret_cast<HDC>(wParam), reinterpret_cast<HWND>(lParam)));
    case kFramesReceivedMessage:
      frameDelivery.OnFramesReceived();
      return TRUE;
    default:
      return FALSE;
  }
}

// Runs the message loop until `done` holds or the time is up.
bool PumpUntil(const std::function<bool()>& done, DWORD timeoutMs = 3000) {
  const DWORD start = GetTickCount();
  for (;;) {
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&msg);
      DispatchMessageA(&msg);
    }
    if (done()) return true;
    if (GetTickCount() - start > timeoutMs) return false;
    Sleep(5);
  }
}
void Pump(DWORD ms) {
  PumpUntil([] { return false; }, ms);
}

std::string Text(HWND window, int id) {
  char buffer[40000];
  GetDlgItemTextA(window, id, buffer, sizeof buffer);
  return buffer;
}

class CommsPageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    shown.clear();
    openFailures.clear();
    // A fresh page and delivery where the wiring and the delivery refer to them (no
    // port is open, so the reader thread reaches neither meanwhile).
    commsPage.~CommsPage();
    new (&commsPage) CommsPage();
    frameDelivery.~FrameDelivery();
    new (&frameDelivery) FrameDelivery(linkWiring, commsPage, nullptr);
    page = &commsPage;
    page->showMessage = RecordMessage;
    linkWiring.showMessage = RecordOpenFailure;
    // The template is a child page, as in the property sheet.
    host = CreateWindowExA(0, "STATIC", "host", WS_POPUP, 0, 0, 400, 500, nullptr,
                           nullptr, appInstance, nullptr);
    ASSERT_NE(host, nullptr);
    window = CreateDialogParamA(appInstance, MAKEINTRESOURCEA(IDD_COMMS_PAGE), host, PageProc, 0);
    ASSERT_NE(window, nullptr);
    EnableWindow(window, TRUE);
    ShowWindow(window, SW_SHOW);
  }
  void TearDown() override {
    serialLink.ClosePort();
    Pump(20);  // frames still queued go to this page, not the next
    std::vector<ReceivedFrame> rest;
    linkWiring.TakeReceived(&rest);
    if (window) DestroyWindow(window);
    if (host) DestroyWindow(host);
  }

  HWND Item(int id) { return GetDlgItem(window, id); }
  void Click(int id) { SendMessageA(Item(id), BM_CLICK, 0, 0); }
  void ChoosePort(int entry) {
    SendMessageA(Item(IDC_PORT_COMBO), CB_SETCURSEL, entry, 0);
    SendMessageA(window, WM_COMMAND, MAKEWPARAM(IDC_PORT_COMBO, CBN_SELCHANGE),
                 reinterpret_cast<LPARAM>(Item(IDC_PORT_COMBO)));
  }
  int Selected() { return static_cast<int>(SendMessageA(Item(IDC_PORT_COMBO), CB_GETCURSEL, 0, 0)); }

  // The box's lines without their time stamps.
  std::vector<std::string> LogTexts() {
    std::vector<std::string> texts;
    const std::string box = Text(window, IDC_LOG_BOX);
    size_t at = 0;
    for (size_t end; (end = box.find("\r\n", at)) != std::string::npos; at = end + 2) {
      const std::string line = box.substr(at, end - at);
      const size_t tab = line.find('\t');
      texts.push_back(tab == std::string::npos ? line : line.substr(tab + 1));
    }
    return texts;
  }
  int BoxLineCount() {
    return static_cast<int>(SendMessageA(Item(IDC_LOG_BOX), EM_GETLINECOUNT, 0, 0));
  }
  // A frame handed to the page as the application hands a batch of one.
  void Receive(const std::string& frame) {
    page->BeginFrames();
    page->OnFrame(reinterpret_cast<const uint8_t*>(frame.data()), static_cast<uint8_t>(frame.size()));
    page->EndFrames();
  }

  CommsPage* page = nullptr;
  HWND host = nullptr;
  HWND window = nullptr;
};

const char kZeroBits[] = "00000000 00000000 00000000 00000000 ";

TEST_F(CommsPageTest, StartsWithSixteenPortsNoneSelectedAndZeroTexts) {
  const HWND combo = Item(IDC_PORT_COMBO);
  ASSERT_EQ(SendMessageA(combo, CB_GETCOUNT, 0, 0), 16);
  const char* expected[] = {"None", "COM1", "COM2", "COM3", "COM4", "COM5", "COM6", "COM7",
                            "COM8", "COM9", "COM10", "COM11", "COM12", "COM13", "COM14", "COM15"};
  for (int i = 0; i < 16; ++i) {
    char text[16] = {};
    SendMessageA(combo, CB_GETLBTEXT, i, reinterpret_cast<LPARAM>(text));
    EXPECT_STREQ(text, expected[i]);
  }
  EXPECT_EQ(Selected(), 0);
  EXPECT_EQ(Text(window, IDC_CONTROLS_TEXT), kZeroBits);
  EXPECT_EQ(Text(window, IDC_INDICATIONS_TEXT), kZeroBits);
  EXPECT_EQ(IsDlgButtonChecked(window, IDC_WIDE_INDICATIONS), BST_UNCHECKED);
  EXPECT_EQ(page->pageWindow, window);
}

TEST_F(CommsPageTest, OpensComOneByItselfOnce) {
  ASSERT_TRUE(PumpUntil([] { return serialLink.IsOpened(); }, 2000));
  EXPECT_EQ(Selected(), 1);
  Pump(500);  // the timer fired once: no second open
  EXPECT_EQ(LogTexts(), std::vector<std::string>{"'\\\\.\\COM1' opened"});
}

TEST_F(CommsPageTest, PortChoicesAndTheirLogLines) {
  KillTimer(window, IDT_AUTO_OPEN);
  ChoosePort(0);  // closing with nothing open still says so
  ChoosePort(1);
  EXPECT_TRUE(serialLink.IsOpened());
  ChoosePort(3);  // switching logs the new port only
  EXPECT_TRUE(serialLink.IsOpened());
  ChoosePort(9);  // absent: the codec's box, then the combo back on "None"
  EXPECT_EQ(Selected(), 0);
  ASSERT_EQ(openFailures.size(), 1u);
  EXPECT_NE(openFailures[0].find("COM9"), std::string::npos);
  ChoosePort(0);
  const std::vector<std::string> expected = {
      "Port closed", "'\\\\.\\COM1' opened", "'\\\\.\\COM3' opened",
      "Failed to open '\\\\.\\COM9'", "Port closed"};
  EXPECT_EQ(LogTexts(), expected);
}

// Frames the reader thread queued before the port closed are taken in by the close, and
// their lines, and the notice of those the full queue dropped, come before its own.
TEST_F(CommsPageTest, ClosingTakesInWhatWasQueuedBeforeSayingSo) {
  KillTimer(window, IDT_AUTO_OPEN);
  struct Case {
    const char* name;
    int frames;  // queued by the reader thread, none yet taken
  } cases[] = {{"a few", 3}, {"more than the queue holds", int(FrameQueue::kDefaultCapacity) + 7}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SetDlgItemTextA(window, IDC_LOG_BOX, "");
    ChoosePort(1);
    ASSERT_TRUE(serialLink.IsOpened());
    std::vector<std::string> expected = LogTexts();
    // The reference: the same lines added one by one, trimmed as the box trims them.
    const auto add = [&](const std::string& text) {
      if (expected.size() + 1 >= 60) expected.erase(expected.begin(), expected.begin() + 10);
      expected.push_back(text);
    };
    for (int i = 0; i < c.frames; ++i) {
      char text[8];
      std::snprintf(text, sizeof text, "+%04d", i);
      const std::string frame = std::string("\n") + text + "\r";
      linkWiring.OnFrame(reinterpret_cast<const uint8_t*>(frame.data()), static_cast<uint8_t>(frame.size()));
      if (i < int(FrameQueue::kDefaultCapacity)) add(std::string("Rx: ") + text);
    }
    if (c.frames > int(FrameQueue::kDefaultCapacity))
      add(DroppedFramesText(c.frames - FrameQueue::kDefaultCapacity));
    add("Port closed");
    ChoosePort(0);  // the frames' wake-up is still posted, not yet fetched
    EXPECT_EQ(LogTexts(), expected);
    Pump(20);  // the posted wake-ups find nothing left
    EXPECT_EQ(LogTexts(), expected);
  }
}

TEST_F(CommsPageTest, ReceivedFramesUpdateTextsAndLog) {
  KillTimer(window, IDT_AUTO_OPEN);
  Receive("\n+\r");                      // ACK: no line
  Receive("\n-\r");                      // NAK: no line
  Receive("\n+0\r");                     // longer: logged
  Receive("\nC0041234567890ABCDEF00\r");  // 64-bit controls
  EXPECT_EQ(Text(window, IDC_CONTROLS_TEXT).size(), 72u);
  Receive("\nC00211111111ZZ\r");          // 32-bit: back to 36, bytes 4-7 kept
  EXPECT_EQ(Text(window, IDC_CONTROLS_TEXT), "10001000 10001000 10001000 10001000 ");
  Receive("\nC02000000000ZZ\r");          // width 0x02: logged only
  EXPECT_EQ(Text(window, IDC_CONTROLS_TEXT), "10001000 10001000 10001000 10001000 ");
  Receive("\nI00210200000:2A\r");
  EXPECT_EQ(Text(window, IDC_INDICATIONS_TEXT), "10000000 01000000 00000000 00000000 ");
  Receive("\nR%s%n\x01\r");               // respond off: the log line only
  EXPECT_TRUE(shown.empty());
  const std::vector<std::string> expected = {
      "Rx: +0", "Rx: C0041234567890ABCDEF00", "Rx: C00211111111ZZ", "Rx: C02000000000ZZ",
      "Rx: I00210200000:2A", "Rx: R%s%n"};
  EXPECT_EQ(LogTexts(), expected);
}

TEST_F(CommsPageTest, RespondWithoutAPortShowsTheFailureOwnedByThePage) {
  KillTimer(window, IDT_AUTO_OPEN);
  Click(IDC_RESPOND);
  EXPECT_TRUE(page->respond.load());
  ASSERT_EQ(shown.size(), 1u);
  EXPECT_EQ(shown[0].owner, window);
  EXPECT_EQ(shown[0].text, "Failed to send indications packet");
  EXPECT_EQ(shown[0].caption, "Vantrel - Config K4-ZVL");
  EXPECT_EQ(shown[0].type, static_cast<UINT>(MB_OK | MB_ICONERROR));
  Click(IDC_RESPOND);  // clearing sends nothing and shows nothing
  EXPECT_FALSE(page->respond.load());
  EXPECT_EQ(shown.size(), 1u);
  EXPECT_TRUE(LogTexts().empty());
}

TEST_F(CommsPageTest, SixtyFourBitsWidensIndicationsOnly) {
  KillTimer(window, IDT_AUTO_OPEN);
  Click(IDC_WIDE_INDICATIONS);
  EXPECT_TRUE(page->wideIndications);
  EXPECT_EQ(Text(window, IDC_INDICATIONS_TEXT).size(), 72u);
  EXPECT_EQ(Text(window, IDC_CONTROLS_TEXT).size(), 36u);
  EXPECT_TRUE(shown.empty());  // nothing is sent
  Click(IDC_WIDE_INDICATIONS);
  EXPECT_EQ(Text(window, IDC_INDICATIONS_TEXT).size(), 36u);
}

TEST_F(CommsPageTest, ColoursOfTheTextBoxes) {
  const HDC dc = GetDC(window);
  struct Case {
    int id;
    int colour;  // -1: the system's default
  };
  const Case cases[] = {{IDC_CONTROLS_TEXT, COLOR_WINDOW},
                        {IDC_INDICATIONS_TEXT, COLOR_WINDOW},
                        {IDC_LOG_BOX, COLOR_BTNFACE},
                        {IDC_PORT_COMBO, -1},
                        {IDC_RESPOND, -1}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.id);
    const HBRUSH brush = page->OnCtlColor(window, dc, Item(c.id));
    if (c.colour < 0) {
      EXPECT_EQ(brush, nullptr);
    } else {
      EXPECT_EQ(brush, GetSysColorBrush(c.colour));
      EXPECT_EQ(GetBkColor(dc), GetSysColor(c.colour));
    }
  }
  ReleaseDC(window, dc);
}

TEST_F(CommsPageTest, TheSixtiethLineLeavesFifty) {
  KillTimer(window, IDT_AUTO_OPEN);
  for (int i = 1; i <= 59; ++i) page->log.Append("line %d", i);
  EXPECT_EQ(BoxLineCount(), 60);
  page->log.Append("line %d", 60);
  const auto texts = LogTexts();
  ASSERT_EQ(texts.size(), 50u);
  EXPECT_EQ(texts.front(), "line 11");
  EXPECT_EQ(texts.back(), "line 60");
  EXPECT_EQ(BoxLineCount(), 51);
}

TEST_F(CommsPageTest, BatchLeavesTheBoxAsLineByLineDoes) {
  KillTimer(window, IDT_AUTO_OPEN);
  for (int i = 0; i < 37; ++i) page->log.Append("before %d", i);
  std::vector<std::string> oneByOne = LogTexts();
  // The reference: the same lines, one box update each.
  for (int batch : {1, 5, 23, 60, 61, 250}) {
    for (int i = 0; i < batch; ++i) {
      oneByOne.push_back("batch " + std::to_string(batch) + " " + std::to_string(i));
      if (oneByOne.size() >= 60) oneByOne.erase(oneByOne.begin(), oneByOne.begin() + 10);
    }
    page->log.BeginBatch();
    for (int i = 0; i < batch; ++i) page->log.Append("batch %d %d", batch, i);
    page->log.EndBatch();
    EXPECT_EQ(LogTexts(), oneByOne) << batch;
  }
  // The newest line is in view.
  const HWND box = Item(IDC_LOG_BOX);
  const int first = static_cast<int>(SendMessageA(box, EM_GETFIRSTVISIBLELINE, 0, 0));
  EXPECT_GT(first, 0);
}

class LogFileTest : public CommsPageTest {
 protected:
  void SetUp() override {
    char temp[MAX_PATH];
    GetTempPathA(sizeof temp, temp);
    directory = std::string(temp) + "vtl-log-test-" + std::to_string(GetCurrentProcessId());
    CreateDirectoryA(directory.c_str(), nullptr);
    GetCurrentDirectoryA(sizeof previous, previous);
    SetCurrentDirectoryA(directory.c_str());
    DeleteFileA("ZVL-Log.txt");
    CommsPageTest::SetUp();
    KillTimer(window, IDT_AUTO_OPEN);
  }
  void TearDown() override {
    CommsPageTest::TearDown();
    DeleteFileA("ZVL-Log.txt");
    RemoveDirectoryA("ZVL-Log.txt");
    SetCurrentDirectoryA(previous);
    RemoveDirectoryA(directory.c_str());
  }
  std::string FileText() {
    std::ifstream in("ZVL-Log.txt", std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }
  std::string directory;
  char previous[MAX_PATH] = {};
};

TEST_F(LogFileTest, LinesWhileTickedAreTheBoxLinesAfterTheDate) {
  Click(IDC_LOG_TO_FILE);
  page->log.Append("first");
  Click(IDC_LOG_TO_FILE);
  page->log.Append("not in the file");
  Click(IDC_LOG_TO_FILE);
  page->log.BeginBatch();
  page->log.Append("second");
  page->log.Append("third");
  page->log.EndBatch();

  const std::string box = Text(window, IDC_LOG_BOX);
  std::vector<std::string> boxLines;
  for (size_t at = 0, end; (end = box.find("\r\n", at)) != std::string::npos; at = end + 2)
    boxLines.push_back(box.substr(at, end + 2 - at));
  ASSERT_EQ(boxLines.size(), 4u);

  char date[64];
  GetDateFormatA(LOCALE_USER_DEFAULT, 0, nullptr, nullptr, date, sizeof date);
  const std::string d = std::string(date) + "\t";
  EXPECT_EQ(FileText(), d + boxLines[0] + d + boxLines[2] + d + boxLines[3]);
}

TEST_F(LogFileTest, AppendsToAnExistingFileAndSurvivesOneItCannotOpen) {
  { std::ofstream("ZVL-Log.txt", std::ios::binary) << "kept\r\n"; }
  Click(IDC_LOG_TO_FILE);
  page->log.Append("added");
  const std::string text = FileText();
  EXPECT_EQ(text.rfind("kept\r\n", 0), 0u);
  EXPECT_NE(text.find("\tadded\r\n"), std::string::npos);

  DeleteFileA("ZVL-Log.txt");
  ASSERT_TRUE(CreateDirectoryA("ZVL-Log.txt", nullptr));  // cannot be opened for writing
  page->log.Append("box only");
  const std::vector<std::string> texts = LogTexts();
  ASSERT_GE(texts.size(), 2u);
  EXPECT_EQ(texts[texts.size() - 2], "box only");
  EXPECT_EQ(texts.back().rfind("ZVL-Log.txt not written: ", 0), 0u) << texts.back();
}

TEST_F(LogFileTest, AFileHeldWithoutSharingIsReportedInTheBoxOnceAndAgainWhenReleased) {
  Click(IDC_LOG_TO_FILE);
  page->log.Append("before");
  const HANDLE held = CreateFileA("ZVL-Log.txt", GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  page->log.Append("lost 1");
  page->log.Append("lost 2");
  page->log.BeginBatch();
  page->log.Append("lost 3");
  page->log.Append("lost 4");
  page->log.EndBatch();
  CloseHandle(held);
  page->log.Append("after");
  Click(IDC_LOG_TO_FILE);
  page->log.Append("not asked for");

  std::vector<std::string> texts = LogTexts();
  ASSERT_EQ(texts.size(), 9u);
  const std::string said = "ZVL-Log.txt not written: ";
  EXPECT_EQ(texts[2].substr(0, said.size()), said);
  EXPECT_GT(texts[2].size(), said.size() + 1) << "the system's reason";
  texts[2] = said;
  EXPECT_EQ(texts, (std::vector<std::string>{"before", "lost 1", said, "lost 2", "lost 3", "lost 4",
                                             "after", "ZVL-Log.txt written again (4 lines missing)",
                                             "not asked for"}));
  const std::string text = FileText();
  EXPECT_NE(text.find("\tbefore\r\n"), std::string::npos);
  EXPECT_NE(text.find("\tafter\r\n"), std::string::npos);
  EXPECT_EQ(text.find("lost"), std::string::npos);
  EXPECT_EQ(text.find("ZVL-Log.txt"), std::string::npos) << "notices are for the box only";
}

TEST_F(LogFileTest, AHeldBoxGetsTheLinesAndFileNoticesInOneUpdateInTheirOrder) {
  Click(IDC_LOG_TO_FILE);
  page->log.Append("before");
  page->log.HoldBox();
  page->log.Append("held 1");
  const HANDLE held = CreateFileA("ZVL-Log.txt", GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  page->log.BeginBatch();
  page->log.Append("held 2");
  page->log.Append("held 3");
  page->log.EndBatch();
  CloseHandle(held);
  page->log.Append("held 4");
  EXPECT_EQ(LogTexts(), std::vector<std::string>{"before"}) << "the box waits for the release";
  page->log.ReleaseBox();
  page->log.Append("after");

  std::vector<std::string> texts = LogTexts();
  ASSERT_EQ(texts.size(), 8u);
  const std::string said = "ZVL-Log.txt not written: ";
  EXPECT_EQ(texts[4].substr(0, said.size()), said);
  texts[4] = said;
  EXPECT_EQ(texts, (std::vector<std::string>{"before", "held 1", "held 2", "held 3", said, "held 4",
                                             "ZVL-Log.txt written again (2 lines missing)", "after"}));
  const std::string text = FileText();
  EXPECT_NE(text.find("\theld 1\r\n"), std::string::npos);
  EXPECT_EQ(text.find("held 2"), std::string::npos);
  EXPECT_NE(text.find("\theld 4\r\n"), std::string::npos);
}

// The Set indications dialog is modal: its steps run from a timer inside its loop.
struct DialogScript {
  std::vector<std::function<void(HWND)>> steps;
  size_t next = 0;
  static DialogScript* running;
  static void CALLBACK Tick(HWND, UINT, UINT_PTR, DWORD) {
    const HWND dialog = FindWindowA(nullptr, "Set indications");
    if (!dialog || running->next >= running->steps.size()) return;
    running->steps[running->next++](dialog);
  }
  void Run(HWND page) {
    running = this;
    const UINT_PTR timer = SetTimer(nullptr, 0, 30, Tick);
    SendMessageA(page, WM_COMMAND, MAKEWPARAM(IDC_SET_INDICATIONS, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(page, IDC_SET_INDICATIONS)));
    KillTimer(nullptr, timer);
  }
};
DialogScript* DialogScript::running = nullptr;

void ClickBox(HWND dialog, int indication) {
  SendMessageA(GetDlgItem(dialog, indicationBoxIds[indication - 1]), BM_CLICK, 0, 0);
}

TEST_F(CommsPageTest, ClicksChangeOneBitRedrawAndSendEachTime) {
  KillTimer(window, IDT_AUTO_OPEN);
  page->indications[4] = 0x77;  // not shown at 32 bits, so never touched
  std::vector<std::string> texts;
  bool box64Absent = false;
  DialogScript script;
  script.steps = {
      [&](HWND d) { box64Absent = GetDlgItem(d, indicationBoxIds[63]) == nullptr; },
      [&](HWND d) { ClickBox(d, 10); },
      [&](HWND d) {
        texts.push_back(Text(window, IDC_INDICATIONS_TEXT));
        ClickBox(d, 14);
      },
      [&](HWND d) { SendMessageA(d, WM_COMMAND, IDCANCEL, 0); },
  };
  script.Run(window);
  EXPECT_TRUE(box64Absent);
  EXPECT_EQ(page->indications[1], 0x22);  // bits 1 and 5 of byte 1
  EXPECT_EQ(page->indications[4], 0x77);
  ASSERT_EQ(texts.size(), 1u);
  EXPECT_EQ(texts[0], "00000000 01000000 00000000 00000000 ");
  EXPECT_EQ(Text(window, IDC_INDICATIONS_TEXT), "00000000 01000100 00000000 00000000 ");
  // No port: each click shows the failure, owned by the page; "Done" adds nothing.
  ASSERT_EQ(shown.size(), 2u);
  EXPECT_EQ(shown[1].owner, window);
  EXPECT_EQ(shown[1].text, "Failed to send indications packet");
}

TEST_F(CommsPageTest, SixtyFourBoxesStartFromAllBytesAndEnterRebuildsThem) {
  KillTimer(window, IDT_AUTO_OPEN);
  Click(IDC_WIDE_INDICATIONS);
  page->indications[0] = 0x01;
  page->indications[7] = 0x80;
  bool box1 = false, box2 = false, box64 = false;
  DialogScript script;
  script.steps = {
      [&](HWND d) {
        box1 = IsDlgButtonChecked(d, indicationBoxIds[0]) == BST_CHECKED;
        box2 = IsDlgButtonChecked(d, indicationBoxIds[1]) == BST_CHECKED;
        box64 = IsDlgButtonChecked(d, indicationBoxIds[63]) == BST_CHECKED;
        // Changed behind the dialog's back, as a received "I" frame would.
        page->indications[2] = 0xFF;
        CheckDlgButton(d, indicationBoxIds[32], BST_CHECKED);  // 33, no click
      },
      [&](HWND d) { SendMessageA(d, WM_COMMAND, IDOK, 0); },
  };
  script.Run(window);
  EXPECT_TRUE(box1);
  EXPECT_FALSE(box2);
  EXPECT_TRUE(box64);
  EXPECT_EQ(page->indications[0], 0x01);
  EXPECT_EQ(page->indications[2], 0x00);  // rebuilt from the boxes
  EXPECT_EQ(page->indications[4], 0x01);
  EXPECT_EQ(page->indications[7], 0x80);
  EXPECT_EQ(Text(window, IDC_INDICATIONS_TEXT),
            "10000000 00000000 00000000 00000000 10000000 00000000 00000000 00000001 ");
  EXPECT_TRUE(shown.empty());  // Enter sends only while responding
}

// From end to end over a virtual line: the unit's frames reach the page through the
// reader thread and the queue, and the page's answers reach the unit.
TEST_F(CommsPageTest, StandsInForTheZvlEquipment) {
  KillTimer(window, IDT_AUTO_OPEN);
  UnitSink unitSink;
  FrameCodec unit(&unitSink);
  ChoosePort(1);
  ASSERT_TRUE(serialLink.IsOpened());
  ASSERT_TRUE(unit.OpenPort("\\\\.\\COM2"));

  Click(IDC_RESPOND);  // sends the packet at once
  ASSERT_TRUE(PumpUntil([&] { return unitSink.Frames().size() == 1; }));
  EXPECT_EQ(unitSink.Frames()[0].substr(1, 13), "I00200000000:");

  const uint8_t poll[] = {'R'};
  ASSERT_TRUE(unit.SendFrame(poll, 1));
  ASSERT_TRUE(PumpUntil([&] { return unitSink.Frames().size() == 2; }));
  EXPECT_EQ(unitSink.Frames()[1].substr(1, 13), "I00200000000:");

  const std::string controls = "C0041234567890ABCDEF";
  ASSERT_TRUE(unit.SendFrame(reinterpret_cast<const uint8_t*>(controls.data()), 20));
  ASSERT_TRUE(PumpUntil([&] { return Text(window, IDC_CONTROLS_TEXT).size() == 72; }));
  ASSERT_TRUE(PumpUntil([&] { return unitSink.Frames().size() == 3; }));
  EXPECT_EQ(unitSink.Frames()[2], "\n+\r");  // answered while responding

  const auto texts = LogTexts();
  ASSERT_EQ(texts.size(), 5u);
  EXPECT_EQ(texts[0], "'\\\\.\\COM1' opened");
  EXPECT_EQ(texts[1].substr(0, 17), "Tx: I00200000000:");
  EXPECT_EQ(texts[2], "Rx: RC5");
  EXPECT_EQ(texts[3].substr(0, 17), "Tx: I00200000000:");
  EXPECT_EQ(texts[4].substr(0, 24), "Rx: C0041234567890ABCDEF");
  EXPECT_TRUE(shown.empty());
  unit.ClosePort();
}

TEST_F(CommsPageTest, SentFramesAreLoggedButAcknowledgements) {
  KillTimer(window, IDT_AUTO_OPEN);
  for (const char* frame : {"\n+\r", "\n-\r", "\n~R8E\r", "\n+AB\r"}) {
    linkWiring.LogSent(reinterpret_cast<const uint8_t*>(frame), static_cast<uint8_t>(std::strlen(frame)));
  }
  // A longer '+' frame is not an ACK.
  EXPECT_EQ(LogTexts(), (std::vector<std::string>{"Tx: ~R8E", "Tx: +AB"}));
}

// ---- the hand-off of received frames to the page's window -------------------------

// A window on the test's thread that takes the frames as the comms page does.
struct Receiver {
  static Receiver* current;
  LinkWiring* wiring = nullptr;
  HWND window = nullptr;
  int wakeUps = 0;
  uint32_t dropped = 0;
  std::vector<ReceivedFrame> frames;

  static LRESULT CALLBACK Proc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == kFramesReceivedMessage && current) {
      ++current->wakeUps;
      std::vector<ReceivedFrame> batch;
      current->dropped += current->wiring->TakeReceived(&batch);
      current->frames.insert(current->frames.end(), batch.begin(), batch.end());
      return 0;
    }
    return DefWindowProcA(window, message, wParam, lParam);
  }

  Receiver() {
    WNDCLASSA windowClass = {};
    windowClass.lpfnWndProc = Proc;
    windowClass.hInstance = GetModuleHandleA(nullptr);
    windowClass.lpszClassName = "VtlFrameReceiver";
    RegisterClassA(&windowClass);
    window = CreateWindowA("VtlFrameReceiver", "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                           GetModuleHandleA(nullptr), nullptr);
    current = this;
  }
  ~Receiver() {
    DestroyWindow(window);
    current = nullptr;
  }

  // Handles what is posted until `count` frames are in, or two seconds pass.
  void PumpUntil(size_t count) {
    const DWORD start = GetTickCount();
    MSG msg;
    while (frames.size() < count && GetTickCount() - start < 2000) {
      while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&msg);
      Sleep(1);
    }
  }
};
Receiver* Receiver::current = nullptr;

std::vector<uint8_t> Frame(const char* text) { return std::vector<uint8_t>(text, text + std::strlen(text)); }

TEST(LinkWiring, FloodFromAnotherThreadArrivesInOrderWithFewWakeUpsAndStaysBounded) {
  Receiver receiver;
  CommsPage page;  // a page without its dialog, whose window is the receiver's
  page.pageWindow = receiver.window;
  LinkWiring wiring(page, noOwner);
  receiver.wiring = &wiring;

  // More frames than a thread's message queue holds (10,000), all pushed before the
  // window runs: one message per frame would lose some at random, and an unbounded
  // queue would keep them all. The queue keeps the oldest it has room for.
  constexpr int kFrames = 20000;
  constexpr size_t kKept = FrameQueue::kDefaultCapacity;
  const DWORD before = GetTickCount();
  std::thread reader([&] {
    for (int i = 0; i < kFrames; ++i) {
      uint8_t frame[6] = {'\n', 'C', uint8_t(i), uint8_t(i >> 8), '0', '\r'};
      wiring.OnFrame(frame, sizeof frame);
    }
  });
  reader.join();
  receiver.PumpUntil(kKept);

  ASSERT_EQ(kKept, receiver.frames.size());
  for (size_t i = 0; i < kKept; ++i) {
    const ReceivedFrame& f = receiver.frames[i];
    ASSERT_EQ(6, f.length);
    ASSERT_EQ(i, size_t(f.bytes[2] | f.bytes[3] << 8)) << "frame " << i << " out of order";
    ASSERT_LE(f.tick - before, 10000u) << "tick not taken at receipt";
  }
  EXPECT_EQ(uint32_t(kFrames - kKept), receiver.dropped);
  // All were pushed before the window ran, so one wake-up served them all.
  EXPECT_EQ(1, receiver.wakeUps);

  // Once taken, the queue has room again: the next frame wakes the window and arrives.
  const uint8_t next[6] = {'\n', 'C', 0xAA, 0xBB, '0', '\r'};
  wiring.OnFrame(next, sizeof next);
  receiver.PumpUntil(kKept + 1);
  ASSERT_EQ(kKept + 1, receiver.frames.size());
  EXPECT_EQ(0xAA, receiver.frames.back().bytes[2]);
  EXPECT_EQ(2, receiver.wakeUps);
}

TEST(LinkWiring, FramesWithoutAWindowAreDroppedAndDoNotBlockLaterOnes) {
  Receiver receiver;
  CommsPage page;  // no window yet
  LinkWiring wiring(page, noOwner);
  receiver.wiring = &wiring;

  const auto early = Frame("\nC1234\r");
  wiring.OnFrame(early.data(), early.size());

  page.pageWindow = receiver.window;
  const auto later = Frame("\nI5678\r");
  wiring.OnFrame(later.data(), later.size());
  receiver.PumpUntil(1);

  ASSERT_EQ(1u, receiver.frames.size());
  EXPECT_EQ(0, std::memcmp(later.data(), receiver.frames[0].bytes, later.size()));
}


}  // namespace
