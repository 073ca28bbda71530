#pragma once

#include <QString>

#include "comm/Notify.h"

class CDialogBase;

// Every dialog holds a handle of its own while it exists. Handles are never
// reused, so a message for a dialog that is gone finds nobody and is dropped.
// Registration and look-up happen on the UI thread only.

// Registers dlg; returns its new handle.
WindowHandle RegisterWindow(CDialogBase* dlg);

// Forgets a handle; later messages for it are dropped.
void UnregisterWindow(WindowHandle wnd);

// The dialog of a handle, or nullptr when it no longer exists.
CDialogBase* WindowFromHandle(WindowHandle wnd);

// Posts msg with two values to wnd; callable from any thread. Messages reach
// the window on the UI thread in the order posted, also while a modal dialog
// runs. Dropped when wnd no longer exists or the toolkit is not set up.
void PostWindowMessage(WindowHandle wnd, int msg, long wParam, long lParam);

// The top-level dialog with this caption (a visible one first), or nullptr.
CDialogBase* FindWindowByCaption(const QString& caption);

// Creates the UI thread's message dispatcher and makes the worker's results
// WM_COMM_RESULT messages. Called by InitToolkit.
void InstallWindowMessages();
