/**
 * Checkout page: shows the cart and posts the order.
 */
import { useCart } from "../hooks/useCart";
import type { Order } from './models/order';
const fs = require('fs');

export default function CheckoutPage() {
  const { items } = useCart();
  return <div>{items.length}</div>;
}

export async function POST(req: Request) {
  const res = await fetch("/api/orders/{id}?draft=1", { method: "POST" });
  return res;
}

export const useTotals = async () => {
  return 1;
};

export const LIMIT = 5;

function helper(x) { return x; }

export interface OrderView { id: string }
export type Money = { cents: number };
class Widget {
  open() { return "{"; }
}
const orderSchema = z.object({ id: z.string() });
export { helper as aliasName, Widget };
// See docs/setup.md and README.md; also lib/util.tsx and cfg/app.json
app.get('/users/:id/orders', handler);
router.post("/api/v1/items/{itemId}", h);
