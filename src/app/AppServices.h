// What both windows share beyond each other: the application title and the message boxes.
// Message boxes go through one replaceable object, so that tests observe every message and
// answer it without a blocking modal box.
#pragma once

#include <QString>
#include <QStringList>

class QWidget;

// The application title, also the caption of every message box.
extern const char* const kApplicationTitle;

class IMessageBoxes {
public:
    enum class Kind { Plain, Information, Error };
    virtual ~IMessageBoxes() = default;
    // Shows text with one OK button and returns when the user has answered it. The text is
    // passed exactly as the command built it, line breaks included.
    virtual void Show(QWidget* parent, const QString& text, Kind kind) = 0;
    // Asks a question with Yes and No buttons (No the default); true for Yes.
    virtual bool Ask(QWidget* parent, const QString& text) = 0;
};

// The QMessageBox implementation, used unless something else is installed.
class TQtMessageBoxes : public IMessageBoxes {
public:
    void Show(QWidget* parent, const QString& text, Kind kind) override;
    bool Ask(QWidget* parent, const QString& text) override;
};

// The current implementation; SetMessageBoxes(nullptr) restores the default. Not owned.
IMessageBoxes& MessageBoxes();
void SetMessageBoxes(IMessageBoxes* boxes);

// File choosers go through one replaceable object as well, for the same reason.
class IFileDialogs {
public:
    virtual ~IFileDialogs() = default;
    // The files the user chose to open, in the order chosen; empty when cancelled.
    virtual QStringList OpenFiles(QWidget* parent, const QString& caption, const QString& filter) = 0;
};

class TQtFileDialogs : public IFileDialogs {
public:
    QStringList OpenFiles(QWidget* parent, const QString& caption, const QString& filter) override;
};

// The current implementation; SetFileDialogs(nullptr) restores the default. Not owned.
IFileDialogs& FileDialogs();
void SetFileDialogs(IFileDialogs* dialogs);

// A message box with one OK button and no icon.
void ShowMessage(const QString& text, QWidget* parent = nullptr);

// "\r\n" and "\n\r" as one line break each, for display.
QString DisplayLineBreaks(const QString& text);

// Places a top-level window in the centre of its screen.
void CentreOnScreen(QWidget* window);
