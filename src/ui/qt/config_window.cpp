// The Qt window of a dialog model: libkelvo_ui_qt.so. Each control is a widget
// named by its identifier (objectName "204", "210", ...); the model decides
// everything, the window only mirrors the model's control state and reports
// clicks. Loaded by the component on the first dialog.
#include "ui/dialog_model.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>

#include <algorithm>
#include <cstdio>
#include <map>
#include <memory>
#include <type_traits>

namespace {

using kelvo::ui::ControlState;
using kelvo::ui::DialogModel;

QString ToQt(std::u16string_view text) {
    return QString::fromUtf16(text.data(), static_cast<qsizetype>(text.size()));
}

std::u16string FromQt(const QString& text) {
    return std::u16string(reinterpret_cast<const char16_t*>(text.utf16()),
                          static_cast<std::size_t>(text.size()));
}

class ConfigWindow {
public:
    ConfigWindow(DialogModel& model, QWidget* owner) : model_(model), dialog_(owner) { Build(); }

    int Run() {
        model_.InitDialog();
        dialog_.setWindowTitle(ToQt(model_.Title()));
        Push();
        dialog_.setModal(true);
        dialog_.exec();
        // The close box and Escape act as Cancel.
        if (!model_.Ended())
            model_.Command(kelvo::ui::kResultCancel);
        return model_.Result();
    }

private:
    template <class W> W* Add(int id, W* widget) {
        widget->setObjectName(QString::number(id));
        widgets_[id] = widget;
        if constexpr (std::is_base_of_v<QAbstractButton, W>)
            QObject::connect(widget, &QAbstractButton::clicked, &dialog_,
                             [this, id] { Click(id); });
        return widget;
    }

    // A group box headed by its radio button, with labelled edit rows below.
    QFormLayout* Group(QVBoxLayout* top, int radioId, const char* radioText) {
        auto* box = new QGroupBox;
        auto* column = new QVBoxLayout(box);
        if (radioId) {
            auto* radio = Add(radioId, new QRadioButton(QString::fromUtf8(radioText)));
            radio->setAutoExclusive(false); // the model checks and unchecks both
            column->addWidget(radio);
            box->setAccessibleName(QString::fromUtf8(radioText));
        } else {
            box->setTitle(QString::fromUtf8(radioText));
        }
        auto* form = new QFormLayout;
        column->addLayout(form);
        top->addWidget(box);
        return form;
    }

    void Build() {
        auto* top = new QVBoxLayout(&dialog_);

        QFormLayout* tcp = Group(top, 204, "TCP/IP communication");
        tcp->addRow("IP or hostname", Add(210, new QLineEdit));
        tcp->addRow("Timeout (ms)", Add(212, new QLineEdit));
        tcp->addRow("Connection timeout", Add(213, new QLineEdit));
        tcp->addRow("CAN address", Add(215, new QLineEdit));
        tcp->addRow(Add(214, new QCheckBox("Use SSL protocol")));

        QFormLayout* serial = Group(top, 205, "Serial communication");
        serial->addRow("Port", Add(201, new QComboBox));
        serial->addRow("Timeout (ms)", Add(207, new QLineEdit));
        serial->addRow("CAN address", Add(208, new QLineEdit));

        QFormLayout* login = Group(top, 0, "Authentication");
        login->addRow("User", Add(209, new QLineEdit));
        auto* password = Add(211, new QLineEdit);
        password->setEchoMode(QLineEdit::Password);
        login->addRow("Password", password);
        AlignLabels({tcp, serial, login});

        auto* buttons = new QHBoxLayout;
        buttons->addStretch();
        auto* ok = Add(1, new QPushButton("OK"));
        ok->setDefault(true);
        buttons->addWidget(ok);
        buttons->addWidget(Add(2, new QPushButton("Cancel")));
        top->addLayout(buttons);
    }

    // One label column width for all groups, so their fields line up.
    static void AlignLabels(std::initializer_list<QFormLayout*> forms) {
        int width = 0;
        for (QFormLayout* form : forms)
            for (int row = 0; row < form->rowCount(); ++row)
                if (QLayoutItem* label = form->itemAt(row, QFormLayout::LabelRole))
                    width = std::max(width, label->widget()->sizeHint().width());
        for (QFormLayout* form : forms)
            for (int row = 0; row < form->rowCount(); ++row)
                if (QLayoutItem* label = form->itemAt(row, QFormLayout::LabelRole))
                    label->widget()->setMinimumWidth(width);
    }

    void Click(int id) {
        Pull();
        model_.Command(id);
        Push();
        if (model_.Ended())
            dialog_.done(model_.Result());
    }

    // What the user typed and chose, into the model.
    void Pull() {
        for (auto [id, widget] : widgets_) {
            ControlState* state = model_.Control(id);
            if (!state)
                continue;
            if (auto* edit = qobject_cast<QLineEdit*>(widget))
                state->text = FromQt(edit->text());
            if (auto* list = qobject_cast<QComboBox*>(widget))
                state->selection = list->currentIndex();
        }
    }

    // The model's control state, onto the widgets.
    void Push() {
        for (auto [id, widget] : widgets_) {
            const ControlState* state = model_.Control(id);
            if (!state)
                continue;
            widget->setEnabled(state->enabled);
            if (auto* edit = qobject_cast<QLineEdit*>(widget);
                edit && FromQt(edit->text()) != state->text)
                edit->setText(ToQt(state->text));
            if (auto* button = qobject_cast<QAbstractButton*>(widget);
                button && button->isCheckable())
                button->setChecked(state->checked);
            if (auto* list = qobject_cast<QComboBox*>(widget))
                PushList(*list, *state);
        }
    }

    static void PushList(QComboBox& list, const ControlState& state) {
        bool same = list.count() == static_cast<int>(state.items.size());
        for (int i = 0; same && i < list.count(); ++i) {
            const auto& item = state.items[static_cast<std::size_t>(i)];
            same = list.itemText(i) == ToQt(item.text) && list.itemData(i).toInt() == item.data;
        }
        if (!same) {
            list.clear();
            for (const auto& item : state.items)
                list.addItem(ToQt(item.text), item.data);
        }
        list.setCurrentIndex(state.selection);
    }

    DialogModel& model_;
    QDialog dialog_;
    std::map<int, QWidget*> widgets_;
};

int g_argc = 1;
char g_name[] = "kelvo";
char* g_argv[] = {g_name, nullptr};

QApplication* WidgetApplication() {
    return qobject_cast<QApplication*>(QCoreApplication::instance());
}

} // namespace

// A host that is a Qt application owns the dialog through its active window;
// any other host gets an application of its own for the time of the dialog.
extern "C" int KelvoUiRunDialog(DialogModel* model) {
    if (!model)
        return -1;
    std::unique_ptr<QApplication> own;
    QWidget* owner = nullptr;
    if (QCoreApplication::instance()) {
        if (!WidgetApplication())
            return -1; // a host without widgets cannot show a window
        owner = QApplication::activeWindow();
    } else {
        own = std::make_unique<QApplication>(g_argc, g_argv);
    }
    ConfigWindow window(*model, owner);
    return window.Run();
}

extern "C" void KelvoUiMessageBox(const char16_t* text, std::size_t textLength,
                                  const char16_t* caption, std::size_t captionLength,
                                  unsigned style) {
    const QString body = ToQt({text, textLength});
    const QString title = ToQt({caption, captionLength});
    if (!WidgetApplication()) {
        const QByteArray line = (title.isEmpty() ? body : title + ": " + body).toUtf8();
        std::fprintf(stderr, "%s\n", line.constData());
        return;
    }
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    switch (style & 0xF0) {
    case 0x10:
        icon = QMessageBox::Critical;
        break;
    case 0x20:
        icon = QMessageBox::Question;
        break;
    case 0x30:
        icon = QMessageBox::Warning;
        break;
    case 0x40:
        icon = QMessageBox::Information;
        break;
    }
    QWidget* parent = QApplication::activeModalWidget();
    if (!parent)
        parent = QApplication::activeWindow();
    QMessageBox box(icon, title, body, QMessageBox::Ok, parent);
    box.exec();
}
