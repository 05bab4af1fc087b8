// Package payments charges cards for paid orders.
package payments

import (
	"errors"
	"fmt"
)

// Charge takes the amount in cents from the customer's card.
func Charge(customerID string, cents int64) error {
	if cents <= 0 {
		return errors.New("amount must be positive")
	}
	fmt.Printf("charging %s %d\n", customerID, cents)
	return nil
}

func refund(customerID string, cents int64) error {
	return Charge(customerID, -cents)
}
