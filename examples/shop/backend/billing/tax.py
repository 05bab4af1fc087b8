"""Sales tax rules."""
from decimal import Decimal

RATE = Decimal("0.2")


def tax_for(amount):
    return (amount * RATE).quantize(Decimal("0.01"))
