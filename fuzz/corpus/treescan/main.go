package p
import (
	"fmt"
)
type S interface{}
func F() {}
