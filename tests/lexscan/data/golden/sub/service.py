"""Order service: prices, taxes and invoices."""
import os, sys
from billing.tax import rate

@router.get("/orders/{order_id}")
async def get_order(order_id):
    return order_id


def _private():
    pass

def test_it():
    pass

class _Hidden:
    def method(self):
        import json
        return 1

class InvoiceRenderer:
    """Renders."""

    def render(self):
        return requests.get("https://api.example.com/v2/render.json")

x = 1
def compute_total_price(items):
    return sum(items)
ÿþ bad bytes Ã( here
