#pragma once

#include <QString>
#include <functional>

class QWidget;

// The captions the dialogs' message boxes share.
inline constexpr char CAPTION_HINT[] = "提示";
inline constexpr char CAPTION_WARNING[] = "警告";
inline constexpr char CAPTION_ERROR[] = "错误";
inline constexpr char CAPTION_FAILED[] = "失败";
inline constexpr char CAPTION_SUCCESS[] = "成功";
inline constexpr char CAPTION_NO_CONNECTION[] = "失败提示";

// Icons of a message box.
enum MbIcon : int { MB_ICONNONE = 0, MB_ICONEXCLAMATION = 0x30, MB_ICONINFORMATION = 0x40 };

// Shows text under caption with icon and an OK button ("确定"), modal over
// parent. Returns IDOK. While a hook is installed the hook gets the message
// instead and its result is returned, so tests never block on a box.
int MessageBox(QWidget* parent, const QString& text, const QString& caption,
               int icon = MB_ICONNONE);

// The box for something that arrived by itself (a worker's result): while
// another box is open it waits, and shows once none is, so that boxes never
// stand over each other. Waiting boxes show in their order; one whose parent
// has gone is dropped.
void MessageBoxWhenFree(QWidget* parent, const QString& text, const QString& caption,
                        int icon = MB_ICONNONE);

// How many message boxes are open now (a hook's answer counts while it runs).
// Timed sending files nothing while one is: each box runs an event loop of
// its own, in which ticks would otherwise open box after box.
int OpenMessageBoxes();

using MessageBoxHook =
    std::function<int(QWidget* parent, const QString& text, const QString& caption, int icon)>;

// Installs hook (an empty one removes it); returns the previous hook.
MessageBoxHook SetMessageBoxHook(MessageBoxHook hook);
