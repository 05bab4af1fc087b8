// Cart state and checkout for the storefront.
import { useState } from 'react';
import type { Order } from '../models/order';

export function useCart() {
  const [items, setItems] = useState<Order['items']>([]);

  function add(sku: string) {
    setItems((current) => [...current, { sku, quantity: 1 }]);
  }

  async function checkout(customerId: string) {
    const total = items.length * 10;
    const res = await fetch('/api/orders', {
      method: 'POST',
      body: JSON.stringify({ customerId, items, total }),
    });
    return res.json();
  }

  return { items, add, checkout };
}
