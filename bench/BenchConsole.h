#pragma once

// The console as the console bench and the soak drive it, in-process: a
// count of what its handlers saw, and the steps a user takes to send.

#include <QComboBox>
#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>
#include <chrono>

#include "app/QuillmarkDlg.h"
#include "app/Resource.h"
#include "protocol/Frame.h"
#include "protocol/ResultCodes.h"

// The request both send by protocol: small, so that the display is not what
// is measured. To the console's default machine number.
constexpr int BENCH_MACHINE = 255;
const char* const BENCH_COMMAND = "10";
const char* const BENCH_DATA = "A5A5A5A5";
constexpr int BENCH_FRAME_LEN = FRAME_OVERHEAD + 4;

// Back-to-back mode files the next protocol send from the result handler.
class CBenchConsole : public CQuillmarkDlg {
  public:
    using CQuillmarkDlg::CQuillmarkDlg;

    bool bBackToBack = false;
    long nTicks = 0;
    long nShown = 0;   // replies shown
    long nErrors = 0;  // failed sends or reads
    long nSkipped = 0; // ticks that found the worker busy

  protected:
    void OnCommResult(int code, long value) override {
        if (code == RC_RECEIVED)
            (value > 0 ? nShown : nErrors)++;
        if (code == RC_SENT && value != 0)
            ++nErrors;
        CQuillmarkDlg::OnCommResult(code, value);
        if (bBackToBack && code == RC_RECEIVED && !JobPending())
            SendByProtocol();
    }
    void OnTimer(int id) override {
        ++nTicks;
        if (JobPending())
            ++nSkipped;
        CQuillmarkDlg::OnTimer(id);
    }
};

inline void RunEvents(int ms) {
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

// Chooses TCP and connects as the buttons do; false when not connected
// within 5 s.
inline bool ConnectTcp(CBenchConsole& console) {
    auto* combo = console.GetDlgItemAs<QComboBox>(IDC_CHANNEL);
    combo->setCurrentIndex(CH_TCP);
    emit combo->activated(CH_TCP);
    console.ClickItem(IDC_TCP_CONNECT);
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!console.State().IsOpen(CH_TCP) && std::chrono::steady_clock::now() < until)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    return console.State().IsOpen(CH_TCP);
}

// Sets up timed protocol sending of the bench's request every periodMs.
inline void SetProtocolSend(CBenchConsole& console, int periodMs) {
    console.SetItemText(IDC_COMMAND, BENCH_COMMAND);
    console.SetItemText(IDC_PROTOCOL_DATA, BENCH_DATA);
    console.SetItemText(IDC_PROTOCOL_PERIOD, QString::number(periodMs));
}
