// What a dialog window and the dialog's behaviour share: the state of each
// control, addressed by its identifier, and the handlers a window calls. The
// window plugin reaches the behaviour only through the virtual functions and
// the inline state below, so it links nothing of the component.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kelvo::ui {

// One entry of a list control: its text and the number it carries.
struct ListItem {
    std::u16string text;
    std::int32_t data = 0;

    bool operator==(const ListItem&) const = default;
};

struct ControlState {
    std::u16string text;
    bool enabled = true;
    bool checked = false;        // radio buttons and check boxes
    std::vector<ListItem> items; // list controls
    int selection = -1;          // list controls; -1 is no selection
};

// Results a dialog ends with.
inline constexpr int kResultOk = 1;
inline constexpr int kResultCancel = 2;

class DialogModel {
public:
    virtual std::u16string Title() const = 0;
    // The state of control `id`; null for an identifier the dialog lacks.
    virtual ControlState* Control(int id) = 0;
    // Dialog initialisation, before the window is shown.
    virtual void InitDialog() = 0;
    // The user clicked control `id` (a button, radio button or check box). An
    // automatic radio button checks itself and a check box flips before the
    // command runs, as the window's own controls would.
    virtual void Command(int id) = 0;
    // Whether a command ended the dialog, and with which result.
    virtual bool Ended() const = 0;
    virtual int Result() const = 0;

protected:
    ~DialogModel() = default;
};

// Entry points of a window plugin (C names, looked up with dlsym).
//   int KelvoUiRunDialog(DialogModel* model): runs the window modally; the
//     model's result, or -1 when no window can be shown.
//   void KelvoUiMessageBox(const char16_t* text, std::size_t textLength,
//     const char16_t* caption, std::size_t captionLength, unsigned style)
using RunDialogEntry = int (*)(DialogModel* model);
using MessageBoxEntry = void (*)(const char16_t* text, std::size_t textLength,
                                 const char16_t* caption, std::size_t captionLength,
                                 unsigned style);
inline constexpr const char* kRunDialogSymbol = "KelvoUiRunDialog";
inline constexpr const char* kMessageBoxSymbol = "KelvoUiMessageBox";

} // namespace kelvo::ui
