#include "Tavrel_Agent/ViewHelpers.h"

#include "core/ServiceControl.h"

#include <QFocusEvent>
#include <QFontDatabase>
#include <QFontInfo>
#include <QPainter>
#include <QPalette>
#include <QPixmap>
#include <QStyle>
#include <QTimer>

QColor Style::accentColor() {
    return QColor(184, 20, 20);
}

QColor Style::successColor() {
    return QColor(52, 199, 89);
}

QColor Style::errorColor() {
    return QColor::fromRgbF(0.7f, 0.1f, 0.1f);
}

QColor Style::warningColor() {
    return QColor(255, 149, 0);
}

QColor Style::blueColor() {
    return QColor::fromRgbF(0.0f, 0.4f, 0.8f);
}

QColor Style::stateColor(const QString& state) {
    if (state == QLatin1String(ServiceState::Running))
        return successColor();
    if (state == QLatin1String(ServiceState::Stopped))
        return errorColor();
    return warningColor();
}

QFont Style::systemFont(int pixelSize) {
    QFont font = QFontDatabase::systemFont(QFontDatabase::GeneralFont);
    font.setPixelSize(pixelSize);
    return font;
}

QFont Style::boldSystemFont(int pixelSize) {
    QFont font = systemFont(pixelSize);
    font.setBold(true);
    return font;
}

QFont Style::monospaceFont(int pixelSize) {
    QFont font(QStringLiteral("Menlo"));
    if (!QFontInfo(font).exactMatch())
        font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    font.setPixelSize(pixelSize);
    return font;
}

QColor Style::secondaryTextColor(const QWidget* widget) {
    QColor color = widget->palette().color(QPalette::WindowText);
    color.setAlphaF(0.5f);
    return color;
}

void Style::setTextColor(QWidget* widget, const QColor& color) {
    QPalette palette = widget->palette();
    for (const QPalette::ColorGroup group : {QPalette::Active, QPalette::Inactive})
        for (const QPalette::ColorRole role : {QPalette::WindowText, QPalette::Text, QPalette::ButtonText})
            palette.setColor(group, role, color);
    widget->setPalette(palette);
}

QColor Style::textColor(const QWidget* widget) {
    return widget->palette().color(QPalette::WindowText);
}

ElidedLabel::ElidedLabel(const QString& text, QWidget* parent)
    : AccessibleLabel(text, parent) {
    setWordWrap(false);
}

void ElidedLabel::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    const QRect area = contentsRect();
    const QString shown = fontMetrics().elidedText(text(), Qt::ElideRight, area.width());
    style()->drawItemText(&painter, area, int(alignment()), palette(), isEnabled(), shown, foregroundRole());
}

ElidedLabel* addLabel(QWidget* parent, const QString& text, const QRect& frame, const QFont& font) {
    auto* label = new ElidedLabel(text, parent);
    label->setFont(font);
    label->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    label->setGeometry(frame);
    return label;
}

ElidedLabel* addBoldLabel(QWidget* parent, const QString& text, const QRect& frame) {
    return addLabel(parent, text, frame, Style::boldSystemFont());
}

ElidedLabel* sectionLabel(const QString& text, int x, int y) {
    return addLabel(nullptr, text, QRect(x, y, 492, 18), Style::boldSystemFont());
}

ElidedLabel* addValueLabel(QWidget* parent, const QRect& frame) {
    return addLabel(parent, QStringLiteral("\u2014"), frame, Style::systemFont());
}

SelectableValue::SelectableValue(QWidget* parent)
    : QLineEdit(parent) {
    setReadOnly(true);
    setFrame(false);
    QPalette palette = this->palette();
    palette.setColor(QPalette::Base, Qt::transparent);
    setPalette(palette);
}

void SelectableValue::focusInEvent(QFocusEvent* event) {
    QLineEdit::focusInEvent(event);
    // Reached with Tab, the whole value is ready to copy; a click places the selection itself, and
    // the window's own first focus selects nothing.
    if (event->reason() == Qt::TabFocusReason || event->reason() == Qt::BacktabFocusReason)
        selectAll();
}

void SelectableValue::paintEvent(QPaintEvent* event) {
    QLineEdit::paintEvent(event);
    // A read-only field shows no caret: a thin frame shows where the focus is.
    if (hasFocus()) {
        QPainter painter(this);
        painter.setPen(palette().color(QPalette::Highlight));
        painter.drawRect(rect().adjusted(0, 0, -1, -1));
    }
}

SelectableValue* addSelectableValue(QWidget* parent, const QRect& frame, const QFont& font) {
    auto* value = new SelectableValue(parent);
    value->setGeometry(frame);
    value->setFont(font);
    return value;
}

BorderedBox::BorderedBox(QWidget* parent)
    : QFrame(parent) {
    setFrameShape(QFrame::NoFrame);
}

// Painted by hand so that the border colour does not leak into the palette of the views inside.
void BorderedBox::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.fillRect(rect(), palette().color(QPalette::Base));
    painter.setPen(QPen(QColor(170, 170, 170), 1));
    painter.setBrush(Qt::NoBrush);
    painter.drawRect(rect().adjusted(0, 0, -1, -1));
}

BorderedBox* addBox(QWidget* parent, const char* objectName, const QRect& frame,
                    const QString& accessibleName) {
    auto* box = new BorderedBox(parent);
    box->setObjectName(QLatin1String(objectName));
    box->setGeometry(frame);
    box->setAccessibleName(accessibleName);
    return box;
}

namespace {
// The header with its logo, drawn from the 1x or 2x image to suit the screen it is painted on, so
// that it stays crisp when the window moves between screens of different pixel ratios.
class Header final : public QWidget {
public:
    Header(QWidget* parent, const QRect& logo)
        : QWidget(parent)
        , logoFrame(logo) {}

protected:
    void paintEvent(QPaintEvent*) override {
        const qreal ratio = devicePixelRatioF();
        QPixmap image(ratio > 1.0 ? QStringLiteral(":/logo-letters@2x.png")
                                  : QStringLiteral(":/logo-letters.png"));
        if (image.isNull())
            image = QPixmap(QStringLiteral(":/logo-letters.png"));
        if (image.isNull())
            return; // no logo: the header shows only its title
        image = image.scaled(logoFrame.size() * ratio, Qt::KeepAspectRatio, Qt::SmoothTransformation);
        image.setDevicePixelRatio(ratio);
        const QSizeF shown = image.deviceIndependentSize();
        QPainter painter(this);
        painter.drawPixmap(QPointF(logoFrame.x() + (logoFrame.width() - shown.width()) / 2,
                                   logoFrame.y() + (logoFrame.height() - shown.height()) / 2),
                           image);
    }

private:
    const QRect logoFrame;
};
} // namespace

QWidget* addHeader(QWidget* parent, const QRect& frame, const QRect& logoFrame, const QString& title,
                   const QRect& titleFrame, int titlePixelSize) {
    auto* header = new Header(parent, logoFrame);
    header->setObjectName(QStringLiteral("header"));
    header->setGeometry(frame);
    header->setAutoFillBackground(true);
    QPalette palette = header->palette();
    palette.setColor(QPalette::Window, Qt::white);
    header->setPalette(palette);

    auto* titleLabel = addLabel(header, title, titleFrame, Style::boldSystemFont(titlePixelSize));
    titleLabel->setObjectName(QStringLiteral("title"));
    Style::setTextColor(titleLabel, Qt::black);
    return header;
}

QWidget* addAccentStripe(QWidget* parent, const QRect& frame) {
    auto* stripe = new QWidget(parent);
    stripe->setObjectName(QStringLiteral("accentStripe"));
    stripe->setGeometry(frame);
    stripe->setAutoFillBackground(true);
    QPalette palette = stripe->palette();
    palette.setColor(QPalette::Window, Style::accentColor());
    stripe->setPalette(palette);
    return stripe;
}

QTimer* startRefreshTimer(QObject* owner, const std::function<void()>& refresh) {
    auto* timer = new QTimer(owner);
    timer->setObjectName(QStringLiteral("refreshTimer"));
    QObject::connect(timer, &QTimer::timeout, owner, refresh);
    timer->start(statusRefreshIntervalMs);
    return timer;
}

void scheduleRecheck(QObject* owner, int delayMs, const std::function<void()>& refresh) {
    auto* timer = new QTimer(owner);
    timer->setObjectName(QStringLiteral("recheck"));
    timer->setSingleShot(true);
    timer->setTimerType(Qt::PreciseTimer);
    QObject::connect(timer, &QTimer::timeout, owner, [timer, refresh] {
        timer->deleteLater();
        refresh();
    });
    timer->start(delayMs);
}

QString menuText(const QString& text) {
    QString escaped = text;
    return escaped.replace(QLatin1Char('&'), QStringLiteral("&&"));
}

QPushButton* addButton(QWidget* parent, const char* objectName, const QString& title, const QRect& frame,
                       const QString& description) {
    auto* button = new QPushButton(title, parent);
    button->setObjectName(QLatin1String(objectName));
    button->setGeometry(frame);
    button->setFont(Style::systemFont());
    button->setAccessibleDescription(description);
    button->setAutoDefault(false);
    return button;
}
