"""HTTP routes of the billing back end."""
from fastapi import APIRouter

from backend.billing.invoice import Invoice, render

router = APIRouter()


@router.get("/invoices/{order_id}")
def get_invoice(order_id: str):
    invoice = Invoice(order_id, [])
    return {"text": render(invoice)}


def health():
    try:
        return {"ok": True}
    except Exception:
        return {"ok": False}
