#include "ZoqUI/HotkeyCapture.h"

#include <QKeySequence>
#include <gtest/gtest.h>

namespace zoq {
namespace {

TEST(HotkeyCapture, QtCombinationsBecomeStoredHotkeysOrNothing) {
    using H = HotkeyConfiguration;
    const struct {
        QKeyCombination captured;
        std::optional<HotkeyConfiguration> stored;
    } cases[] = {
        {QKeyCombination(Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier, Qt::Key_P), H::standard},
        {QKeyCombination(Qt::ControlModifier | Qt::ShiftModifier, Qt::Key_1), H{0x12, H::control | H::shift}},
        {QKeyCombination(Qt::AltModifier, Qt::Key_Return), H{0x24, H::option}},
        {QKeyCombination(Qt::AltModifier, Qt::Key_Enter), H{0x24, H::option}},
        {QKeyCombination(Qt::MetaModifier, Qt::Key_Left), H{0x7B, H::command}},
        {QKeyCombination(Qt::Key_F5), H{0x60, 0}},
        {QKeyCombination(Qt::Key_P), std::nullopt},                           // would swallow typing
        {QKeyCombination(Qt::ControlModifier, Qt::Key_Exclam), std::nullopt}, // a shifted symbol
        {QKeyCombination(Qt::ControlModifier | Qt::KeypadModifier, Qt::Key_5), std::nullopt},
        {QKeyCombination(Qt::ControlModifier, Qt::Key_MediaPlay), std::nullopt},
    };
    for (const auto& testCase : cases) {
        const std::optional<KeyCombination> combination = keyCombination(testCase.captured);
        const std::optional<HotkeyConfiguration> stored = combination ? combination->stored() : std::nullopt;
        EXPECT_EQ(stored, testCase.stored) << QKeySequence(testCase.captured).toString().toStdString();
        if (combination && testCase.captured.key() != Qt::Key_Enter) {
            EXPECT_EQ(qtKeyCombination(*combination), testCase.captured) << "shown as captured";
        }
    }
}

TEST(HotkeyCapture, KeysAreNamedTheWayTheSettingsNameThem) {
    const struct {
        QKeyCombination captured;
        const char* label;
    } cases[] = {
        {QKeyCombination(Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier, Qt::Key_P),
         "Ctrl+Alt+Super+P"},
        {QKeyCombination(Qt::MetaModifier | Qt::ShiftModifier, Qt::Key_F5), "Shift+Super+F5"},
        // Not storable, named all the same: Super, never Meta.
        {QKeyCombination(Qt::MetaModifier, Qt::Key_MediaPlay), "Super+Media Play"},
        {QKeyCombination(Qt::Key_A), "A"},
        {QKeyCombination(), ""},
    };
    for (const auto& testCase : cases) {
        EXPECT_EQ(keyLabel(testCase.captured).toStdString(), testCase.label);
    }
}

} // namespace
} // namespace zoq
