#include "tests/res/DialogTemplate.h"

namespace {

class Reader {
public:
    Reader(const BYTE* data, size_t size) : m_data(data), m_size(size) {}

    bool ok() const { return m_ok; }
    WORD Word()
    {
        WORD value = 0;
        if (m_at + 2 > m_size) {
            m_ok = false;
            return 0;
        }
        value = static_cast<WORD>(m_data[m_at] | (m_data[m_at + 1] << 8));
        m_at += 2;
        return value;
    }
    DWORD Dword()
    {
        const DWORD low = Word();
        return low | (static_cast<DWORD>(Word()) << 16);
    }
    // A zero-terminated UTF-16 text of ASCII characters.
    std::string Text()
    {
        std::string text;
        for (WORD c = Word(); m_ok && c != 0; c = Word())
            text.push_back(static_cast<char>(c));
        return text;
    }
    // An ordinal (0xFFFF, number) as "#number", or a text.
    std::string NameOrOrdinal()
    {
        const WORD first = Word();
        if (first == 0xFFFF)
            return "#" + std::to_string(Word());
        if (first == 0)
            return std::string();
        std::string text(1, static_cast<char>(first));
        return text + Text();
    }
    void AlignDword() { m_at = (m_at + 3) & ~static_cast<size_t>(3); }

private:
    const BYTE* m_data;
    size_t m_size;
    size_t m_at = 0;
    bool m_ok = true;
};

std::string ClassName(const std::string& name)
{
    static const char* const atoms[] = {"Button", "Edit", "Static", "ListBox", "ScrollBar", "ComboBox"};
    if (name.size() > 1 && name[0] == '#') {
        const int atom = std::stoi(name.substr(1));
        if (atom >= 0x80 && atom <= 0x85)
            return atoms[atom - 0x80];
    }
    return name;
}

}  // namespace

const TemplateItem* DialogTemplate::Item(int id) const
{
    for (const TemplateItem& item : items) {
        if (item.id == id)
            return &item;
    }
    return nullptr;
}

const TemplateItem* DialogTemplate::ItemWithText(const std::string& text) const
{
    for (const TemplateItem& item : items) {
        if (item.text == text)
            return &item;
    }
    return nullptr;
}

bool ReadDialogTemplate(UINT id, DialogTemplate* out)
{
    HMODULE module = GetModuleHandleA(nullptr);
    HRSRC resource = FindResourceA(module, MAKEINTRESOURCEA(id), MAKEINTRESOURCEA(5));  // RT_DIALOG
    if (resource == nullptr)
        return false;
    const BYTE* data = static_cast<const BYTE*>(LockResource(LoadResource(module, resource)));
    Reader reader(data, SizeofResource(module, resource));
    DialogTemplate dialog;
    WORD count = 0;
    if (reader.Word() == 1 && reader.Word() == 0xFFFF) {
        dialog.extended = true;
        reader.Dword();  // help id
        dialog.exStyle = reader.Dword();
        dialog.style = reader.Dword();
    } else {
        Reader plain(data, SizeofResource(module, resource));
        reader = plain;
        dialog.style = reader.Dword();
        dialog.exStyle = reader.Dword();
    }
    count = reader.Word();
    reader.Word();  // x
    reader.Word();  // y
    dialog.cx = static_cast<short>(reader.Word());
    dialog.cy = static_cast<short>(reader.Word());
    reader.NameOrOrdinal();  // menu
    reader.NameOrOrdinal();  // class
    dialog.caption = reader.Text();
    if (dialog.style & DS_SETFONT) {
        dialog.pointSize = reader.Word();
        if (dialog.extended) {
            reader.Word();  // weight
            reader.Word();  // italic, charset
        }
        dialog.font = reader.Text();
    }
    for (WORD i = 0; i < count && reader.ok(); ++i) {
        reader.AlignDword();
        TemplateItem item;
        if (dialog.extended) {
            reader.Dword();  // help id
            item.exStyle = reader.Dword();
            item.style = reader.Dword();
        } else {
            item.style = reader.Dword();
            item.exStyle = reader.Dword();
        }
        item.x = static_cast<short>(reader.Word());
        item.y = static_cast<short>(reader.Word());
        item.cx = static_cast<short>(reader.Word());
        item.cy = static_cast<short>(reader.Word());
        item.id = dialog.extended ? static_cast<int>(reader.Dword()) : static_cast<short>(reader.Word());
        item.className = ClassName(reader.NameOrOrdinal());
        item.text = reader.NameOrOrdinal();
        const WORD extra = reader.Word();
        for (WORD skip = 0; skip < (extra + 1) / 2; ++skip)
            reader.Word();
        dialog.items.push_back(item);
    }
    if (!reader.ok())
        return false;
    *out = dialog;
    return true;
}
