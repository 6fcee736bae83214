// Doubly linked lists, counted UTF-16 strings and 64-bit division.
#include <cstring>

#include "platform/internal.h"

void InitializeListHead(LIST_ENTRY* head) {
    head->Flink = head->Blink = head;
}

bool IsListEmpty(const LIST_ENTRY* head) {
    return head->Flink == head;
}

LIST_ENTRY* RemoveHeadList(LIST_ENTRY* head) {
    LIST_ENTRY* entry = head->Flink;
    RemoveEntryList(entry);
    return entry;
}

bool RemoveEntryList(LIST_ENTRY* entry) {
    LIST_ENTRY* flink = entry->Flink;
    LIST_ENTRY* blink = entry->Blink;
    blink->Flink = flink;
    flink->Blink = blink;
    return flink == blink;
}

void InsertTailList(LIST_ENTRY* head, LIST_ENTRY* entry) {
    LIST_ENTRY* blink = head->Blink;
    entry->Flink = head;
    entry->Blink = blink;
    blink->Flink = entry;
    head->Blink = entry;
}

void RtlInitUnicodeString(UNICODE_STRING* dest, const WCHAR* source) {
    std::size_t n = 0;
    if (source) {
        while (source[n] != 0) ++n;
    }
    dest->Buffer = const_cast<WCHAR*>(source);
    dest->Length = static_cast<USHORT>(n * sizeof(WCHAR));
    dest->MaximumLength = source ? static_cast<USHORT>(dest->Length + sizeof(WCHAR)) : 0;
}

namespace {
NTSTATUS AppendChars(UNICODE_STRING* dest, const WCHAR* chars, std::size_t bytes) {
    if (std::size_t{dest->Length} + bytes > dest->MaximumLength)
        return STATUS_BUFFER_TOO_SMALL;
    if (bytes)
        std::memmove(reinterpret_cast<UCHAR*>(dest->Buffer) + dest->Length, chars, bytes);
    dest->Length = static_cast<USHORT>(dest->Length + bytes);
    // Terminate when there is room, as the NT routine does.
    if (std::size_t{dest->Length} + sizeof(WCHAR) <= dest->MaximumLength) {
        dest->Buffer[dest->Length / sizeof(WCHAR)] = 0;
    }
    return STATUS_SUCCESS;
}
}  // namespace

NTSTATUS RtlAppendUnicodeToString(UNICODE_STRING* dest, const WCHAR* source) {
    std::size_t n = 0;
    if (source) {
        while (source[n] != 0) ++n;
    }
    return AppendChars(dest, source, n * sizeof(WCHAR));
}

NTSTATUS RtlAppendUnicodeStringToString(UNICODE_STRING* dest, const UNICODE_STRING* source) {
    return AppendChars(dest, source->Buffer, source->Length);
}

NTSTATUS RtlIntegerToUnicodeString(ULONG value, ULONG base, UNICODE_STRING* string) {
    if (base == 0)
        base = 10;
    if (base != 2 && base != 8 && base != 10 && base != 16)
        return STATUS_INVALID_PARAMETER;
    WCHAR digits[33];
    std::size_t n = 0;
    do {
        ULONG d = value % base;
        digits[32 - n] = static_cast<WCHAR>(d < 10 ? u'0' + d : u'A' + d - 10);
        ++n;
        value /= base;
    } while (value != 0);
    // The digits must fit together with a terminator.
    if ((n + 1) * sizeof(WCHAR) > string->MaximumLength)
        return STATUS_BUFFER_TOO_SMALL;
    std::memcpy(string->Buffer, &digits[33 - n], n * sizeof(WCHAR));
    string->Buffer[n] = 0;
    string->Length = static_cast<USHORT>(n * sizeof(WCHAR));
    return STATUS_SUCCESS;
}

LARGE_INTEGER RtlLargeIntegerDivide(LARGE_INTEGER dividend, LARGE_INTEGER divisor,
                                    LARGE_INTEGER* remainder) {
    if (divisor.QuadPart == 0)
        zeva::platform::internal::BugCheck("RtlLargeIntegerDivide by zero");
    LARGE_INTEGER q;
    auto a = static_cast<ULONGLONG>(dividend.QuadPart);
    auto b = static_cast<ULONGLONG>(divisor.QuadPart);
    q.QuadPart = static_cast<LONGLONG>(a / b);
    if (remainder)
        remainder->QuadPart = static_cast<LONGLONG>(a % b);
    return q;
}

void RtlZeroMemory(void* dest, std::size_t length) {
    if (length)
        std::memset(dest, 0, length);
}
