#pragma once

#include <QColor>
#include <QFont>
#include <QIcon>
#include <QString>
#include <QStyle>

class QVBoxLayout;

class QFrame;
class QLabel;
class QWidget;

namespace talvex::ui {

// The station's small visual vocabulary, shared by the window's sections.

// Sizes are logical pixels, the unit the layout's 320-wide panel is measured in.
QFont monoFont(int pixelSize, QFont::Weight weight = QFont::Normal);
QFont captionFont();

QColor secondaryColor();
QColor recordRed();
QColor warningOrange();
QColor activeGreen();

// A themed icon, or the style's nearest standard icon where no theme is installed.
QIcon symbolIcon(const char* themeName, QStyle::StandardPixmap fallback);

// Section title: icon and text, 13 px semibold, secondary colour.
QWidget* sectionHeader(const QString& text, const QIcon& icon, QWidget* parent);

// The section's own layout: a flush column that starts with its header.
QVBoxLayout* sectionColumn(QWidget* section, const QString& title, const QIcon& icon, int spacing);

QFrame* divider(QWidget* parent);

// A frameless, see-through area that scrolls the content up and down when
// it is taller than the room given; the content keeps the area's width.
QWidget* verticalScroller(QWidget* content, QWidget* parent);

// Wraps the label's text onto at most the given number of lines.
void limitLines(QLabel* label, int lines);

// Colours a label's text in the secondary colour or another one.
void setTextColor(QLabel* label, const QColor& color);

}  // namespace talvex::ui
