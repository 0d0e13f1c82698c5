#include "support/PointerList.h"

#include <stdint.h>
#include <stdlib.h>

static_assert(sizeof(void*) != 4 || sizeof(PointerList) == 16,
              "four 32-bit fields on 32-bit Windows");

void InitPointerList(PointerList* list, int growBy)
{
    list->Items = nullptr;
    list->Count = 0;
    list->Capacity = 0;
    list->GrowBy = growBy;
}

int AppendPointer(PointerList* list, void* item)
{
    if (list->Count >= list->Capacity) {
        // Refuse sizes that would overflow the count or the byte size rather than wrap around.
        if (list->GrowBy <= 0 || list->Capacity > INT32_MAX - list->GrowBy)
            return -1;
        size_t newCapacity = (size_t)list->Capacity + (size_t)list->GrowBy;
        if (newCapacity > SIZE_MAX / sizeof(void*))
            return -1;
        void** grown = (void**)realloc(list->Items, newCapacity * sizeof(void*));
        if (!grown)
            return -1;
        for (size_t i = (size_t)list->Capacity; i < newCapacity; ++i)
            grown[i] = nullptr;
        list->Items = grown;
        list->Capacity = (int)newCapacity;
    }
    list->Items[list->Count] = item;
    return list->Count++;
}

void FreePointerList(PointerList* list)
{
    free(list->Items);
    list->Items = nullptr;
    list->Count = 0;
    list->Capacity = 0;
}
