using System;
using System.Collections.Generic;
namespace Shop.Core
{
    public sealed class OrderService
    {
        public async Task<int> PlaceOrder(int id)
        {
            if (id > 0) { return id; }
            return 0;
        }
        private static void If() { }
        internal record Money(int Cents);
    }
}
