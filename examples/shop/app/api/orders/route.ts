// Order API: lists orders and accepts new ones from the cart.
import { NextResponse } from 'next/server';
import { db } from '../../../lib/db';
import { OrderSchema, type Order } from '../../../models/order';

export async function GET() {
  const orders: Order[] = await db.orders.findMany();
  return NextResponse.json(orders);
}

export async function POST(request: Request) {
  const body = await request.json();
  const parsed = OrderSchema.safeParse(body);
  if (!parsed.success) {
    return NextResponse.json({ error: parsed.error.message }, { status: 400 });
  }
  // TODO: reserve stock before the order is stored
  const order = await db.orders.create({ data: parsed.data });
  return NextResponse.json(order, { status: 201 });
}
