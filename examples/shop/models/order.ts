// Order model shared by the API and the cart.
import { z } from 'zod';

export const OrderSchema = z.object({
  customerId: z.string(),
  items: z.array(z.object({ sku: z.string(), quantity: z.number().int().positive() })),
  total: z.number().nonnegative(),
});

export interface Order {
  id: string;
  customerId: string;
  items: { sku: string; quantity: number }[];
  total: number;
}

export type OrderStatus = 'pending' | 'paid' | 'shipped';
