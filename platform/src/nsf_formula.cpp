/*
 * nsf_formula.cpp - selection formulas: NSFFormulaCompile and the
 * evaluation that views and NSFSearch share.
 *
 * Only the forms the gateway and its views need are understood:
 *   @All                    every note
 *   Item = "text"           the item's text (any entry of a list) equals
 *                           the text without regard to case; a missing
 *                           item reads as ""
 * each optionally after SELECT, with free blanks and a closing ";".
 * Keywords and item names compare without case. Anything else fails with
 * ERR_FORMULA_COMPILATION and the place of the offending part.
 *
 * The compiled form is a memory object: "VQF1", a kind byte, the item
 * name (WORD length) and the text (DWORD length).
 */
#include <cstring>
#include <string>
#include <string_view>

#include "nsf_internal.h"
#include "vq_nsf.h"
#include "vq_runtime.h"

namespace vq {
namespace nsf {
namespace {

constexpr char kMagic[4] = {'V', 'Q', 'F', '1'};
constexpr char kKindAll = 'A';
constexpr char kKindEquals = 'E';

bool IsBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

bool IsNameStart(char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_' || c == '$';
}

bool IsNameChar(char c)
{
    return IsNameStart(c) || (c >= '0' && c <= '9');
}

class Parser {
public:
    explicit Parser(std::string_view t) : t_(t) {}

    bool Parse(Formula *out, FormulaError *err)
    {
        SkipBlanks();
        size_t start = pos_;
        std::string_view word = Name();
        if (EqualNoCase(word, "SELECT"))
            SkipBlanks();
        /* An item named Select is compared, not a keyword. */
        if (!EqualNoCase(word, "SELECT") || (pos_ < t_.size() && t_[pos_] == '='))
            pos_ = start;
        if (!Body(out))
            return Fail(err);
        SkipBlanks();
        if (pos_ < t_.size() && t_[pos_] == ';') {
            ++pos_;
            SkipBlanks();
        }
        if (pos_ != t_.size())
            return Fail(err);
        return true;
    }

private:
    bool Body(Formula *out)
    {
        if (pos_ < t_.size() && t_[pos_] == '@') {
            ++pos_;
            std::string_view fn = Name();
            if (!EqualNoCase(fn, "All")) {
                pos_ -= fn.size() + 1;
                return false;
            }
            out->all = true;
            return true;
        }
        std::string_view item = Name();
        if (item.empty())
            return false;
        SkipBlanks();
        if (pos_ >= t_.size() || t_[pos_] != '=')
            return false;
        ++pos_;
        SkipBlanks();
        std::string text;
        if (!Quoted(&text))
            return false;
        out->all = false;
        out->itemLower = Lower(item);
        out->text = std::move(text);
        return true;
    }

    std::string_view Name()
    {
        size_t start = pos_;
        if (pos_ < t_.size() && IsNameStart(t_[pos_]))
            while (pos_ < t_.size() && IsNameChar(t_[pos_]))
                ++pos_;
        return t_.substr(start, pos_ - start);
    }

    /* "text" with backslash escapes; the position stays at the opening
     * quote when the string is not closed, so the error points at it. */
    bool Quoted(std::string *text)
    {
        if (pos_ >= t_.size() || t_[pos_] != '"')
            return false;
        size_t p = pos_ + 1;
        for (; p < t_.size() && t_[p] != '"'; ++p) {
            if (t_[p] == '\\' && p + 1 < t_.size())
                ++p;
            text->push_back(t_[p]);
        }
        if (p >= t_.size()) {
            unclosed_ = true;
            return false;
        }
        pos_ = p + 1;
        return true;
    }

    void SkipBlanks()
    {
        while (pos_ < t_.size() && IsBlank(t_[pos_]))
            ++pos_;
    }

    /* Fills the diagnostics for the part that begins at the position. */
    bool Fail(FormulaError *err)
    {
        size_t len = 0;
        if (unclosed_)
            len = t_.size() - pos_;
        else if (pos_ < t_.size() && IsNameChar(t_[pos_]))
            while (pos_ + len < t_.size() && IsNameChar(t_[pos_ + len]))
                ++len;
        else if (pos_ < t_.size())
            len = 1;
        size_t line = 1, lineStart = 0;
        for (size_t i = 0; i < pos_; ++i)
            if (t_[i] == '\n') {
                ++line;
                lineStart = i + 1;
            }
        err->line = (WORD)line;
        err->column = (WORD)(pos_ - lineStart + 1);
        err->offset = (WORD)pos_;
        err->length = (WORD)len;
        return false;
    }

    std::string_view t_;
    size_t pos_ = 0;
    bool unclosed_ = false;
};

}  // namespace

bool ParseFormula(std::string_view text, Formula *out, FormulaError *err)
{
    Formula f;
    FormulaError e;
    if (!Parser(text).Parse(&f, &e)) {
        if (err != nullptr)
            *err = e;
        return false;
    }
    *out = std::move(f);
    return true;
}

std::string SerializeFormula(const Formula &f)
{
    std::string out(kMagic, sizeof kMagic);
    out.push_back(f.all ? kKindAll : kKindEquals);
    WORD nameLen = (WORD)f.itemLower.size();
    DWORD textLen = (DWORD)f.text.size();
    out.append((const char *)&nameLen, sizeof nameLen);
    out.append(f.itemLower, 0, nameLen);
    out.append((const char *)&textLen, sizeof textLen);
    out.append(f.text);
    return out;
}

bool DeserializeFormula(const void *data, std::size_t size, Formula *out)
{
    const char *p = (const char *)data;
    const size_t head = sizeof kMagic + 1 + sizeof(WORD);
    if (p == nullptr || size < head || std::memcmp(p, kMagic, sizeof kMagic) != 0)
        return false;
    char kind = p[sizeof kMagic];
    if (kind != kKindAll && kind != kKindEquals)
        return false;
    WORD nameLen;
    std::memcpy(&nameLen, p + sizeof kMagic + 1, sizeof nameLen);
    if (size < head + nameLen + sizeof(DWORD))
        return false;
    DWORD textLen;
    std::memcpy(&textLen, p + head + nameLen, sizeof textLen);
    if (size - (head + nameLen + sizeof(DWORD)) < textLen)
        return false;
    out->all = kind == kKindAll;
    out->itemLower.assign(p + head, nameLen);
    out->text.assign(p + head + nameLen + sizeof(DWORD), textLen);
    return true;
}

bool FormulaSelectsValue(const Formula &f, bool present, WORD type, std::string_view value)
{
    if (f.all)
        return true;
    if (!present)
        return f.text.empty();
    if (type == TYPE_TEXT)
        return EqualNoCase(value, f.text);
    std::vector<std::string_view> entries;
    if (type == TYPE_TEXT_LIST && ParseTextList(value, &entries))
        for (const auto &e : entries)
            if (EqualNoCase(e, f.text))
                return true;
    return false;
}

STATUS FormulaSelects(Database &db, const Formula &f, NOTEID id, bool *selects)
{
    *selects = false;
    if (f.all) {
        *selects = true;
        return NOERROR;
    }
    bool exists = false, present = false;
    WORD noteClass = 0, type = 0;
    TIMEDATE modified;
    std::string value;
    STATUS s = ReadNoteItem(db, id, f.itemLower, &exists, &noteClass, &modified, &present, &type,
                            &value);
    if (s == NOERROR)
        *selects = FormulaSelectsValue(f, present, type, value);
    return s;
}

STATUS FirstItemValue(DBHANDLE hDB, NOTEID id, const std::string &lname, WORD *type,
                      std::string *value)
{
    *type = 0;
    value->clear();
    Database *db = GetDatabase(hDB, "FirstItemValue");
    if (db == nullptr)
        return ERR_INVALID_HANDLE;
    bool exists = false, present = false;
    WORD noteClass = 0;
    TIMEDATE modified;
    return ReadNoteItem(*db, id, lname, &exists, &noteClass, &modified, &present, type, value);
}

STATUS FirstItemText(DBHANDLE hDB, NOTEID id, const std::string &lname, std::string *text)
{
    WORD type = 0;
    std::string value;
    text->clear();
    const STATUS s = FirstItemValue(hDB, id, lname, &type, &value);
    if (s == NOERROR && (type == TYPE_TEXT || type == TYPE_TEXT_LIST) &&
        !ItemText(type, value, text))
        text->clear();
    return s;
}

}  // namespace nsf
}  // namespace vq

STATUS NSFFormulaCompile(const char *FormulaName, WORD FormulaNameLength,
                         const char *FormulaText, WORD FormulaTextLength,
                         FORMULAHANDLE *rethFormula, WORD *retFormulaLength,
                         STATUS *retCompileError, WORD *retCompileErrorLine,
                         WORD *retCompileErrorColumn, WORD *retCompileErrorOffset,
                         WORD *retCompileErrorLength)
{
    (void)FormulaName; /* a name only labels the formula */
    (void)FormulaNameLength;
    vq::nsf::FormulaError err;
    if (rethFormula != nullptr)
        *rethFormula = NULLHANDLE;
    if (retFormulaLength != nullptr)
        *retFormulaLength = 0;
    std::string_view text;
    if (FormulaText != nullptr)
        text = FormulaTextLength == 0 || FormulaTextLength == MAXWORD
                   ? std::string_view(FormulaText)
                   : std::string_view(FormulaText, FormulaTextLength);
    vq::nsf::Formula f;
    STATUS s = NOERROR;
    std::string compiled;
    if (!vq::nsf::ParseFormula(text, &f, &err)) {
        s = ERR_FORMULA_COMPILATION;
    } else {
        compiled = vq::nsf::SerializeFormula(f);
        if (compiled.size() > MAXWORD)
            s = ERR_FORMULA_COMPILATION; /* the length goes back in a WORD */
    }
    if (retCompileError != nullptr)
        *retCompileError = s;
    if (retCompileErrorLine != nullptr)
        *retCompileErrorLine = err.line;
    if (retCompileErrorColumn != nullptr)
        *retCompileErrorColumn = err.column;
    if (retCompileErrorOffset != nullptr)
        *retCompileErrorOffset = err.offset;
    if (retCompileErrorLength != nullptr)
        *retCompileErrorLength = err.length;
    if (s != NOERROR)
        return s;
    if (rethFormula == nullptr)
        return NOERROR; /* a syntax check only */
    DHANDLE h = NULLHANDLE;
    if ((s = OSMemAlloc(BLK_MEM_ALLOC, (DWORD)compiled.size(), &h)) != NOERROR)
        return s;
    std::memcpy(OSLockObject(h), compiled.data(), compiled.size());
    OSUnlockObject(h);
    *rethFormula = h;
    if (retFormulaLength != nullptr)
        *retFormulaLength = (WORD)compiled.size();
    return NOERROR;
}
