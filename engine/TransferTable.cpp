#include "engine/TransferTable.h"

#include "engine/tf_TL074.h"

TransferTable* TransferTable::createTL074()
{
    constexpr int32_t n = 8001;
    auto* t = new TransferTable { n, 1000.0, 4.0, -4.0, nullptr };
    try
    {
        t->table = new double[n + 1];
    }
    catch (...)
    {
        delete t;
        throw;
    }
    // -4.5 centres the data on zero.
    for (int32_t i = 0; i < n; ++i)
        t->table[i] = tf_TL074[i] + -4.5;
    t->table[n] = t->table[n - 1];
    return t;
}

void TransferTable::destroy(TransferTable* t) noexcept
{
    if (t == nullptr)
        return;
    delete[] t->table;
    delete t;
}
