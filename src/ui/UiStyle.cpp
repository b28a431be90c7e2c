#include "ui/UiStyle.h"

#include <QApplication>
#include <QFontDatabase>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QPalette>
#include <QScrollArea>
#include <QVBoxLayout>

namespace talvex::ui {

QFont monoFont(int pixelSize, QFont::Weight weight) {
    QFont font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    font.setStyleHint(QFont::Monospace);
    font.setPixelSize(pixelSize);
    font.setWeight(weight);
    return font;
}

QFont captionFont() {
    QFont font = QApplication::font();
    font.setPixelSize(11);
    return font;
}

QColor secondaryColor() {
    QColor color = QApplication::palette().color(QPalette::WindowText);
    color.setAlphaF(0.55f);
    return color;
}

QColor recordRed() {
    return QColor(255, 59, 48);
}
QColor warningOrange() {
    return QColor(255, 149, 0);
}
QColor activeGreen() {
    return QColor(52, 199, 89);
}

QIcon symbolIcon(const char* themeName, QStyle::StandardPixmap fallback) {
    QIcon themed = QIcon::fromTheme(themeName);
    if (!themed.isNull()) return themed;
    return QApplication::style()->standardIcon(fallback);
}

QWidget* sectionHeader(const QString& text, const QIcon& icon, QWidget* parent) {
    auto* header = new QWidget(parent);
    auto* row = new QHBoxLayout(header);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(6);
    auto* iconLabel = new QLabel(header);
    iconLabel->setPixmap(icon.pixmap(14, 14));
    auto* title = new QLabel(text, header);
    QFont font = QApplication::font();
    font.setPixelSize(13);
    font.setWeight(QFont::DemiBold);
    title->setFont(font);
    setTextColor(title, secondaryColor());
    row->addWidget(iconLabel);
    row->addWidget(title);
    row->addStretch();
    return header;
}

QVBoxLayout* sectionColumn(QWidget* section, const QString& title, const QIcon& icon, int spacing) {
    auto* column = new QVBoxLayout(section);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(spacing);
    column->addWidget(sectionHeader(title, icon, section));
    return column;
}

QFrame* divider(QWidget* parent) {
    auto* line = new QFrame(parent);
    line->setFrameShape(QFrame::HLine);
    line->setFrameShadow(QFrame::Sunken);
    return line;
}

QWidget* verticalScroller(QWidget* content, QWidget* parent) {
    auto* area = new QScrollArea(parent);
    area->setObjectName("sidePanelScroller");
    area->setFrameShape(QFrame::NoFrame);
    area->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    area->setWidgetResizable(true);
    area->viewport()->setAutoFillBackground(false);
    content->setAutoFillBackground(false);
    area->setWidget(content);
    return area;
}

void limitLines(QLabel* label, int lines) {
    label->setWordWrap(true);
    label->setMaximumHeight(QFontMetrics(label->font()).lineSpacing() * lines + 2);
}

void setTextColor(QLabel* label, const QColor& color) {
    QPalette palette = label->palette();
    palette.setColor(QPalette::WindowText, color);
    label->setPalette(palette);
}

}  // namespace talvex::ui
