#include "app/AppServices.h"

#include <QApplication>
#include <QFileDialog>
#include <QMessageBox>
#include <QScreen>

const char* const kApplicationTitle = "KeelVane Data Rescue CD Burner";

namespace {

TQtMessageBoxes DefaultBoxes;
IMessageBoxes* CurrentBoxes = nullptr;
TQtFileDialogs DefaultDialogs;
IFileDialogs* CurrentDialogs = nullptr;

}  // namespace

void TQtMessageBoxes::Show(QWidget* parent, const QString& text, Kind kind)
{
    const QMessageBox::Icon icon = kind == Kind::Information ? QMessageBox::Information
                                   : kind == Kind::Error     ? QMessageBox::Warning
                                                             : QMessageBox::NoIcon;
    QMessageBox box(icon, QString::fromUtf8(kApplicationTitle), DisplayLineBreaks(text), QMessageBox::Ok,
                    parent);
    box.setTextFormat(Qt::PlainText);
    box.exec();
}

bool TQtMessageBoxes::Ask(QWidget* parent, const QString& text)
{
    QMessageBox box(QMessageBox::Warning, QString::fromUtf8(kApplicationTitle), DisplayLineBreaks(text),
                    QMessageBox::Yes | QMessageBox::No, parent);
    box.setDefaultButton(QMessageBox::No);
    box.setTextFormat(Qt::PlainText);
    return box.exec() == QMessageBox::Yes;
}

IMessageBoxes& MessageBoxes()
{
    return CurrentBoxes ? *CurrentBoxes : DefaultBoxes;
}

void SetMessageBoxes(IMessageBoxes* boxes)
{
    CurrentBoxes = boxes;
}

QStringList TQtFileDialogs::OpenFiles(QWidget* parent, const QString& caption, const QString& filter)
{
    return QFileDialog::getOpenFileNames(parent, caption, QString(), filter);
}

IFileDialogs& FileDialogs()
{
    return CurrentDialogs ? *CurrentDialogs : DefaultDialogs;
}

void SetFileDialogs(IFileDialogs* dialogs)
{
    CurrentDialogs = dialogs;
}

void ShowMessage(const QString& text, QWidget* parent)
{
    MessageBoxes().Show(parent, text, IMessageBoxes::Kind::Plain);
}

QString DisplayLineBreaks(const QString& text)
{
    QString out;
    out.reserve(text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text[i];
        if (c == u'\r' || c == u'\n') {
            out += u'\n';
            if (i + 1 < text.size() && (text[i + 1] == u'\r' || text[i + 1] == u'\n') && text[i + 1] != c)
                ++i;
        } else {
            out += c;
        }
    }
    return out;
}

void CentreOnScreen(QWidget* window)
{
    const QScreen* screen = window->screen() ? window->screen() : QGuiApplication::primaryScreen();
    if (!screen)
        return;
    const QRect area = screen->availableGeometry();
    window->move(area.center() - QPoint(window->width() / 2, window->height() / 2));
}
