"""Render invoices for paid orders as PDF."""
from decimal import Decimal

from backend.billing.tax import tax_for


class Invoice:
    def __init__(self, order_id, lines):
        self.order_id = order_id
        self.lines = lines

    def total(self):
        subtotal = sum(Decimal(str(price)) * qty for _, price, qty in self.lines)
        return subtotal + tax_for(subtotal)


def render(invoice):
    rows = [f"{name}: {price} x {qty}" for name, price, qty in invoice.lines]
    return "\n".join(rows + [f"Total: {invoice.total()}"])


def _fmt(amount):
    return f"{amount:.2f}"
