#pragma once
// A growable array of pointers (or 32-bit values stored as pointers), used for the words of the
// command line, process ids, window handles and XML nodes.

enum { kPointerListGrowBy = 10 };

struct PointerList {
    void** Items;   // null until the first append
    int Count;
    int Capacity;
    int GrowBy;     // entries added each time the array is full
};

// Makes an empty list (no array) that grows by growBy entries.
void InitPointerList(PointerList* list, int growBy = kPointerListGrowBy);

// Stores item at index Count and returns that index; returns -1 and leaves the list unchanged
// when the array cannot be enlarged.
int AppendPointer(PointerList* list, void* item);

// Frees the array (not what the entries point to) and makes the list empty again.
void FreePointerList(PointerList* list);
