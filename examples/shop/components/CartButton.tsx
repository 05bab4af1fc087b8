// Button that shows the cart size and starts checkout.
import { useCart } from '../hooks/useCart';

export function CartButton({ customerId }: { customerId: string }) {
  const { items, checkout } = useCart();
  return <button onClick={() => checkout(customerId)}>Cart ({items.length})</button>;
}
