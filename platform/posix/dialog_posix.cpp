// The settings form on POSIX: a terminal stand-in for dialog template 101.
//
// It shows the caption, then asks for each control in the order the rows
// stand on screen (Read only, Delete temporary file, Filter, Menu item,
// Working directory, Command line, Time limit, Encoding, Start directory,
// Success exit codes, Exchange file extension, Environment) and ends with
// the question OK or Cancel. Enter keeps a value. End of input is Cancel.
// The multi-line Environment field is asked for on one line, its lines
// separated by " ; " (a value may hold a ";" of its own, as a list of
// folders does). Values are shown with their control bytes as "?", so that
// a hand-edited file cannot send commands to the terminal. What
// initialisation and OK do to the settings is the same code the real dialog
// runs (settings/settings_dialog.cpp); this file only plays the controls.
//
// Input is read from file descriptor 0 one byte at a time, so the form takes
// exactly its own lines from a script and leaves the rest for whoever reads
// next. Prompts go to standard output and are flushed at once.
#include <strings.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/platform.h"
#include "settings/settings_dialog.h"

namespace {

// Like the real edit fields, a field sets no limit of its own on typing
// beyond this buffer; the settings keep only their capacity when OK reads
// the field (259, 259 and 30 characters).
constexpr uint32_t kFieldChars = 1023;
// The Environment field: the lines joined by "\r\n", as the dialog's logic
// sets them; in the form, joined by " ; ".
constexpr char kLineSeparator[] = " ; ";
// A drop-down list: its choices in the order added, and the selected one.
constexpr int kMaxChoices = 8;
constexpr uint32_t kChoiceChars = 15;
struct ChoiceList {
    char Choices[kMaxChoices][kChoiceChars + 1];
    int Count;
    int Selected; // -1: none
};

struct SettingsForm {
    char WorkingDirectory[kFieldChars + 1]; // 1006
    char CommandLine[kFieldChars + 1];      // 1007
    char MenuItem[kFieldChars + 1];         // 1008
    char Timeout[kFieldChars + 1];          // 1010, digits only
    char StartDirectory[kFieldChars + 1];   // 1012
    char SuccessCodes[kFieldChars + 1];     // 1014
    char ExchangeExtension[kFieldChars + 1]; // 1015
    char Environment[kEnvironmentTextChars + 1]; // 1013, lines ended by "\r\n"
    bool ReadOnly;                          // 1000
    bool DeleteTemp;                        // 1001
    bool Filter;                            // 1009
    ChoiceList Encoding;                    // 1011
    bool InputEnded;                        // end of input closed the form
    intptr_t EndCode;
};

// The one form; the host shows it at most once at a time.
SettingsForm g_Form;

enum class RowKind { CheckBox, Text, Number, Choice, Lines };

struct FormRow {
    int Item;
    const char *Label; // without the "&" of the template's mnemonic
    RowKind Kind;
};

// The rows from the top of the dialog down.
constexpr FormRow kRows[] = {
    {platform::kItemReadOnly, "Read only", RowKind::CheckBox},
    {platform::kItemDeleteTemp, "Delete temporary file", RowKind::CheckBox},
    {platform::kItemFilter, "Filter: standard input to output", RowKind::CheckBox},
    {platform::kItemMenuItem, "Menu item", RowKind::Text},
    {platform::kItemWorkingDirectory, "Working directory", RowKind::Text},
    {platform::kItemCommandLine, "Command line", RowKind::Text},
    {platform::kItemTimeout, "Time limit (s)", RowKind::Number},
    {platform::kItemEncoding, "Encoding", RowKind::Choice},
    {platform::kItemStartDirectory, "Start directory", RowKind::Text},
    {platform::kItemSuccessCodes, "Success exit codes", RowKind::Text},
    {platform::kItemExchangeExtension, "Exchange file extension", RowKind::Text},
    {platform::kItemEnvironment, "Environment (NAME=value ; ...)", RowKind::Lines},
};

SettingsForm *AsForm(platform::DialogHandle dialog) { return static_cast<SettingsForm *>(dialog); }

char *FieldOf(SettingsForm *form, int item) {
    switch (item) {
    case platform::kItemWorkingDirectory: return form->WorkingDirectory;
    case platform::kItemCommandLine: return form->CommandLine;
    case platform::kItemMenuItem: return form->MenuItem;
    case platform::kItemTimeout: return form->Timeout;
    case platform::kItemStartDirectory: return form->StartDirectory;
    case platform::kItemSuccessCodes: return form->SuccessCodes;
    case platform::kItemExchangeExtension: return form->ExchangeExtension;
    case platform::kItemEnvironment: return form->Environment;
    default: return nullptr;
    }
}

// The buffer size of a field FieldOf gives.
uint32_t FieldSize(int item) {
    return item == platform::kItemEnvironment ? kEnvironmentTextChars + 1 : kFieldChars + 1;
}

bool *CheckBoxOf(SettingsForm *form, int item) {
    switch (item) {
    case platform::kItemReadOnly: return &form->ReadOnly;
    case platform::kItemDeleteTemp: return &form->DeleteTemp;
    case platform::kItemFilter: return &form->Filter;
    default: return nullptr;
    }
}

ChoiceList *ChoiceListOf(SettingsForm *form, int item) {
    return item == platform::kItemEncoding ? &form->Encoding : nullptr;
}

// Copies at most `size` - 1 characters and always terminates.
void CopyCut(char *target, const char *source, uint32_t size) {
    if (size == 0) return;
    const size_t length = strnlen(source, size - 1);
    memcpy(target, source, length);
    target[length] = '\0';
}

void Show(const char *text) {
    fputs(text, stdout);
    fflush(stdout);
}

// One line from standard input without its "\n" or "\r\n". A line longer
// than the buffer keeps its beginning; the rest of it is read and dropped.
// Returns false at end of input (or a read error) before any character.
bool ReadLine(char *buffer, uint32_t size) {
    uint32_t length = 0;
    bool gotAny = false;
    for (;;) {
        char c;
        const ssize_t got = read(0, &c, 1);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        gotAny = true;
        if (c == '\n') break;
        if (length + 1 < size) buffer[length++] = c;
    }
    if (length > 0 && buffer[length - 1] == '\r') --length;
    buffer[length] = '\0';
    return gotAny;
}

// The answer with leading and trailing blanks left out, in lower case.
void NormaliseAnswer(char *answer) {
    char *start = answer;
    while (*start == ' ' || *start == '\t') ++start;
    size_t length = strlen(start);
    while (length > 0 && (start[length - 1] == ' ' || start[length - 1] == '\t')) --length;
    for (size_t i = 0; i < length; ++i)
        if (start[i] >= 'A' && start[i] <= 'Z') start[i] = static_cast<char>(start[i] - 'A' + 'a');
    memmove(answer, start, length);
    answer[length] = '\0';
}

// A value as the prompt shows it: control bytes and DEL as "?", and for the
// Environment field each line break ("\r\n" or a lone "\n" or "\r") as
// " ; ".
void ShowValue(const char *text, bool lines) {
    for (const char *at = text; *at != '\0'; ++at) {
        if (lines && (*at == '\r' || *at == '\n')) {
            if (at[0] == '\r' && at[1] == '\n') ++at;
            fputs(kLineSeparator, stdout);
            continue;
        }
        const unsigned char c = static_cast<unsigned char>(*at);
        putchar(c < 0x20 || c == 0x7F ? '?' : c);
    }
}

void ShowPrompt(const FormRow &row, const char *value) {
    printf("%s [", row.Label);
    ShowValue(value, row.Kind == RowKind::Lines);
    Show("]: ");
}

// The answer's entries, separated by " ; ", into `field` (`size` bytes) as
// lines joined by "\r\n"; what does not fit is cut.
void TakeLines(const char *answer, char *field, uint32_t size) {
    uint32_t at = 0;
    const size_t separatorLength = strlen(kLineSeparator);
    while (*answer != '\0' && at + 1 < size) {
        if (strncmp(answer, kLineSeparator, separatorLength) == 0) {
            if (at + 3 > size) break;
            field[at++] = '\r';
            field[at++] = '\n';
            answer += separatorLength;
            continue;
        }
        field[at++] = *answer++;
    }
    field[at] = '\0';
}

bool IsOneOf(const char *answer, const char *const *words) {
    for (; *words; ++words)
        if (strcmp(answer, *words) == 0) return true;
    return false;
}

enum class RowResult { Done, EndOfInput };

RowResult AskCheckBox(const FormRow &row, bool *checked) {
    static const char *const kYes[] = {"y", "yes", "x", "1", "on", nullptr};
    static const char *const kNo[] = {"n", "no", "0", "off", nullptr};
    char answer[64];
    for (;;) {
        printf("%s [%c] (y/n): ", row.Label, *checked ? 'x' : ' ');
        fflush(stdout);
        if (!ReadLine(answer, sizeof answer)) return RowResult::EndOfInput;
        NormaliseAnswer(answer);
        if (answer[0] == '\0') return RowResult::Done;
        if (IsOneOf(answer, kYes)) {
            *checked = true;
            return RowResult::Done;
        }
        if (IsOneOf(answer, kNo)) {
            *checked = false;
            return RowResult::Done;
        }
        Show("  Answer y to check the box or n to clear it; Enter keeps it as it is.\n");
    }
}

// A typed line replaces the text. A line that begins with "=" sets exactly
// what follows it, so "=" alone empties the field and "==x" gives "=x".
// The Environment field takes its entries separated by " ; ".
RowResult AskText(const FormRow &row, char *field) {
    static char line[kEnvironmentTextChars + 2];
    ShowPrompt(row, field);
    const uint32_t size = FieldSize(row.Item);
    if (!ReadLine(line, size + 1)) return RowResult::EndOfInput;
    if (line[0] == '\0') return RowResult::Done;
    const char *text = line[0] == '=' ? line + 1 : line;
    if (row.Kind == RowKind::Lines) TakeLines(text, field, size);
    else CopyCut(field, text, size);
    return RowResult::Done;
}

// Like the real ES_NUMBER field, takes digits only: anything else is asked
// again. "=" alone empties the field, which means no limit.
RowResult AskNumber(const FormRow &row, char *field) {
    char line[64];
    for (;;) {
        ShowPrompt(row, field);
        if (!ReadLine(line, sizeof line)) return RowResult::EndOfInput;
        NormaliseAnswer(line);
        if (line[0] == '\0') return RowResult::Done;
        const char *digits = strcmp(line, "=") == 0 ? "" : line;
        if (strspn(digits, "0123456789") == strlen(digits)) {
            CopyCut(field, digits, kFieldChars + 1);
            return RowResult::Done;
        }
        Show("  Answer a whole number of seconds (0: no limit); Enter keeps the value.\n");
    }
}

// The answer names one of the choices, in any case; Enter keeps the choice.
RowResult AskChoice(const FormRow &row, ChoiceList *list) {
    char answer[64];
    for (;;) {
        printf("%s [%s] (", row.Label, list->Selected >= 0 ? list->Choices[list->Selected] : "");
        for (int i = 0; i < list->Count; ++i) printf("%s%s", i ? "/" : "", list->Choices[i]);
        Show("): ");
        if (!ReadLine(answer, sizeof answer)) return RowResult::EndOfInput;
        NormaliseAnswer(answer);
        if (answer[0] == '\0') return RowResult::Done;
        for (int i = 0; i < list->Count; ++i) {
            if (strcasecmp(answer, list->Choices[i]) == 0) {
                list->Selected = i;
                return RowResult::Done;
            }
        }
        Show("  Answer one of the choices in brackets; Enter keeps it as it is.\n");
    }
}

// Returns kCommandOk or kCommandCancel; end of input is Cancel.
int AskOkOrCancel(SettingsForm *form) {
    static const char *const kOk[] = {"o", "ok", nullptr};
    static const char *const kCancel[] = {"c", "cancel", nullptr};
    char answer[64];
    for (;;) {
        Show("OK or Cancel (o/c): ");
        if (!ReadLine(answer, sizeof answer)) {
            form->InputEnded = true;
            return platform::kCommandCancel;
        }
        NormaliseAnswer(answer);
        if (IsOneOf(answer, kOk)) return platform::kCommandOk;
        if (IsOneOf(answer, kCancel)) return platform::kCommandCancel;
        Show("  Answer o (OK: save the settings) or c (Cancel: save nothing).\n");
    }
}

RowResult AskRow(SettingsForm *form, const FormRow &row) {
    switch (row.Kind) {
    case RowKind::CheckBox: return AskCheckBox(row, CheckBoxOf(form, row.Item));
    case RowKind::Text:
    case RowKind::Lines: return AskText(row, FieldOf(form, row.Item));
    case RowKind::Number: return AskNumber(row, FieldOf(form, row.Item));
    case RowKind::Choice: break;
    }
    return AskChoice(row, ChoiceListOf(form, row.Item));
}

// Runs the rows and the final question; returns the command that closes the
// form.
int RunForm(SettingsForm *form) {
    for (const FormRow &row : kRows) {
        if (AskRow(form, row) == RowResult::EndOfInput) {
            form->InputEnded = true;
            return platform::kCommandCancel;
        }
    }
    return AskOkOrCancel(form);
}

} // namespace

namespace platform {

intptr_t ShowSettingsDialog(ModuleHandle, WindowHandle) {
    SettingsForm *form = &g_Form;
    memset(form, 0, sizeof *form);
    form->EndCode = -1;
    form->Encoding.Selected = -1;
    SettingsDialogInit(form);
    Show("Run external tool plug-in Settings\n"
         "Enter keeps a value. A text beginning with \"=\" is taken exactly as it follows\n"
         "(\"=\" alone empties the field).\n");
    const int command = RunForm(form);
    // The last prompt is still open on its line.
    if (form->InputEnded) Show("\nEnd of input: Cancel.\n");
    SettingsDialogCommand(form, static_cast<uintptr_t>(command));
    return form->EndCode;
}

void DialogSetText(DialogHandle dialog, int item, const char *text) {
    char *field = FieldOf(AsForm(dialog), item);
    if (field) CopyCut(field, text, FieldSize(item));
}

void DialogGetText(DialogHandle dialog, int item, char *buffer, uint32_t size) {
    const char *field = FieldOf(AsForm(dialog), item);
    CopyCut(buffer, field ? field : "", size);
}

void DialogSetCheck(DialogHandle dialog, int item, bool checked) {
    bool *box = CheckBoxOf(AsForm(dialog), item);
    if (box) *box = checked;
}

bool DialogGetCheck(DialogHandle dialog, int item) {
    bool *box = CheckBoxOf(AsForm(dialog), item);
    return box && *box;
}

void DialogAddChoice(DialogHandle dialog, int item, const char *text) {
    ChoiceList *list = ChoiceListOf(AsForm(dialog), item);
    if (list && list->Count < kMaxChoices) CopyCut(list->Choices[list->Count++], text, kChoiceChars + 1);
}

void DialogSetChoice(DialogHandle dialog, int item, int index) {
    ChoiceList *list = ChoiceListOf(AsForm(dialog), item);
    if (list) list->Selected = index >= 0 && index < list->Count ? index : -1;
}

int DialogGetChoice(DialogHandle dialog, int item) {
    const ChoiceList *list = ChoiceListOf(AsForm(dialog), item);
    return list ? list->Selected : -1;
}

void DialogEnd(DialogHandle dialog, intptr_t result) { AsForm(dialog)->EndCode = result; }

} // namespace platform
