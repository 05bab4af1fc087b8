// Database client, one per process.
import { PrismaClient } from '@prisma/client';

const globalForDb = globalThis as unknown as { db?: PrismaClient };

export const db = globalForDb.db ?? new PrismaClient();

export function connectionUrl(): string {
  return process.env.DATABASE_URL ?? 'postgres://localhost/shop';
}

function logQuery(query: string) {
  console.log(query);
}
