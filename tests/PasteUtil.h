#pragma once

// Every way a user pastes into a multi-line edit, and clipboards that hold no
// text, which the toolkit's own paste does not survive.

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QKeyEvent>
#include <QMenu>
#include <QMimeData>
#include <QMouseEvent>
#include <QPlainTextEdit>
#include <functional>
#include <memory>
#include <vector>

inline void PasteByCtrlV(QPlainTextEdit* edit) {
    QKeyEvent key(QEvent::KeyPress, Qt::Key_V, Qt::ControlModifier);
    QApplication::sendEvent(edit, &key);
}

inline void PasteByMenu(QPlainTextEdit* edit) {
    std::unique_ptr<QMenu> menu(edit->createStandardContextMenu());
    for (QAction* a : menu->actions())
        if (a->objectName() == "edit-paste")
            a->trigger();
}

// The primary selection's paste.
inline void PasteByMiddleClick(QPlainTextEdit* edit) {
    const QPointF at(5, 5);
    const QPointF global = edit->viewport()->mapToGlobal(at);
    QMouseEvent press(QEvent::MouseButtonPress, at, global, Qt::MiddleButton, Qt::MiddleButton,
                      Qt::NoModifier);
    QMouseEvent release(QEvent::MouseButtonRelease, at, global, Qt::MiddleButton, Qt::NoButton,
                        Qt::NoModifier);
    QApplication::sendEvent(edit->viewport(), &press);
    QApplication::sendEvent(edit->viewport(), &release);
}

inline const std::vector<std::function<void(QPlainTextEdit*)>>& PasteRoutes() {
    static const std::vector<std::function<void(QPlainTextEdit*)>> routes{PasteByCtrlV, PasteByMenu,
                                                                          PasteByMiddleClick};
    return routes;
}

// Fills the clipboard and, where there is one, the primary selection with
// one kind of nothing: empty data, empty text, no data at all, or data that
// is not text.
inline const std::vector<std::function<void()>>& EmptyClipboards() {
    static const auto both = [](const std::function<void(QClipboard::Mode)>& fill) {
        fill(QClipboard::Clipboard);
        if (QGuiApplication::clipboard()->supportsSelection())
            fill(QClipboard::Selection);
    };
    static const std::vector<std::function<void()>> contents{
        [] {
            both([](QClipboard::Mode m) {
                QGuiApplication::clipboard()->setMimeData(new QMimeData, m);
            });
        },
        [] { both([](QClipboard::Mode m) { QGuiApplication::clipboard()->setText("", m); }); },
        [] { both([](QClipboard::Mode m) { QGuiApplication::clipboard()->clear(m); }); },
        [] {
            both([](QClipboard::Mode m) {
                auto* data = new QMimeData;
                data->setData("application/octet-stream", "\x01");
                QGuiApplication::clipboard()->setMimeData(data, m);
            });
        },
    };
    return contents;
}
